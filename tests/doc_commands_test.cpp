// The commands the documentation shows, run: every ```sh (or ```bash,
// ```shell) block of the Markdown files named in TARVIK_DOCS that calls the
// program runs against the simulated camera, each command with status 0 and,
// where a plain ``` block follows the block, each of its lines in what the
// block printed. A fence never closed fails its page, and so does a line
// that leaves state (a variable, the folder, an open loop) for the next.
//
// The rules, so that nothing is left out silently:
// - Only blocks that call `tarvik` run; their commands run in order in one
//   empty folder (a later one may use an earlier one's file), with the built
//   program first on PATH, TARVIK_SIM set to a small picture, no display and
//   no TARVIK_CAMERAS, under bash with pipefail, reading nothing (standard
//   input empty); what a block leaves running is ended with it.
//   `COMMAND || echo …` is judged by COMMAND's status.
// - A command is skipped, and the skip reported with its reason, when it needs
//   what a test run does not have: root (`sudo`, a path under /etc, /var, /usr,
//   /opt, /srv), a real camera (TARVIK_CAMERAS), a display (`--live`, `display`,
//   the program without an option that works without a window), the network
//   (`curl`, `wget`, Aravis's `arv-` tools), a long time (`--serve`, which runs
//   until stopped, `--seconds` above 10), or a place outside the test's folder
//   (`/tmp/`, `~`); `curl` or `wget` to 127.0.0.1 asks the exporter, which
//   `--serve` did not start (DocRecipe runs the guide's probe on a free port).
// - `<!-- not run by the tests: REASON -->` on the line before a block skips
//   all of it, for what the rules above cannot see.
// - An expected output line is a whole line of what was printed; `…` (or
//   `...`) anywhere in it stands for any text.
#include "RunTarvik.h"
#include "ServeTarvik.h"
#include "WaitFor.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

struct Block {
    std::string file;
    int line = 0;                       // of the opening fence
    std::vector<std::string> commands;  // continuation lines joined
    std::vector<std::string> outputs;   // lines of the plain block after it
    std::string skipped;                // why the whole block is not run
    std::string problem;                // what is wrong with the page there
};

void PrintTo(const Block& b, std::ostream* os) { *os << b.file << ":" << b.line; }

QString Fence(const QString& line)
{
    static const QRegularExpression fence("^\\s*```\\s*(\\S*)\\s*$");
    const QRegularExpressionMatch m = fence.match(line);
    return m.hasMatch() ? "```" + m.captured(1) : QString();
}

bool CallsTarvik(const std::string& command)
{
    static const QRegularExpression word("(^|[\\s;|&(`])tarvik(\\s|$|[;|&)`])");
    return word.match(QString::fromStdString(command)).hasMatch();
}

// The blocks a shell runs, by the names pages give them.
bool IsShell(const QString& fence) { return fence == "```sh" || fence == "```bash" || fence == "```shell"; }

// Whether a command sets or opens what the lines after it need (a variable,
// the folder, a loop or a here-document), which a shell a line cannot give:
// run so, the page could pass without doing what it shows.
bool CarriesOver(const QString& command)
{
    static const QRegularExpression carries(
        "^(export|cd|source|\\.|set|alias|unset)\\s|^\\w+=\\S*$|(\\bdo|\\bthen|\\belse|\\{|\\||&&)\\s*$|<<");
    static const QRegularExpression comment("\\s+#.*$");
    return carries.match(QString(command).remove(comment)).hasMatch();
}

// The line of the fence that closes the block opened at open (a bare ```, as
// Markdown has it: a fence with a name opens, never closes); lines.size()
// when none does.
int CloseOf(const QStringList& lines, int open)
{
    int i = open + 1;
    while (i < lines.size() && Fence(lines[i]) != "```")
        ++i;
    return i;
}

// The shell blocks of a Markdown file that call the program, and a block
// whose fence is never closed (the rest of the page shown as code), which
// ends the reading: what follows it is not the page its readers see.
// name: from the source folder, or an absolute path.
std::vector<Block> BlocksIn(const std::string& name)
{
    const QString path = QString::fromStdString(name);
    QFile file(QDir::isAbsolutePath(path) ? path : QString(TARVIK_SOURCE_DIR) + "/" + path);
    std::vector<Block> blocks;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        blocks.push_back({name, 0, {}, {}, "", ""});  // fails: the file is missing
        return blocks;
    }
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    static const QRegularExpression marker("^\\s*<!--\\s*not run by the tests:\\s*(.*?)\\s*-->\\s*$");
    for (int i = 0; i < lines.size(); ++i) {
        const QString open = Fence(lines[i]);
        if (open.isEmpty())
            continue;
        Block b{name, i + 1, {}, {}, "", ""};
        const int close = CloseOf(lines, i);
        if (close == lines.size()) {
            b.problem = "the " + open.toStdString() + " block opened here is never closed";
            blocks.push_back(b);
            return blocks;
        }
        if (!IsShell(open)) {
            i = close;
            continue;
        }
        for (int back = i - 1; back >= 0 && back >= i - 2; --back)
            if (const auto m = marker.match(lines[back]); m.hasMatch())
                b.skipped = m.captured(1).toStdString();
        std::string command;
        for (++i; i < close; ++i) {
            QString line = lines[i];
            const bool continued = line.endsWith('\\');
            if (continued)
                line.chop(1);
            command += line.toStdString() + (continued ? " " : "");
            if (continued)
                continue;
            const QString trimmed = QString::fromStdString(command).trimmed();
            if (!trimmed.isEmpty() && !trimmed.startsWith('#')) {
                b.commands.push_back(trimmed.toStdString());
                if (b.problem.empty() && CarriesOver(trimmed))
                    b.problem = "line " + std::to_string(i + 1) + " (" + trimmed.toStdString() +
                                ") leaves what a later line needs, and each line runs in a shell of its own: "
                                "put them on one line";
            }
            command.clear();
        }
        int next = i + 1;
        while (next < lines.size() && lines[next].trimmed().isEmpty())
            ++next;
        if (next < lines.size() && Fence(lines[next]) == "```") {
            const int outClose = CloseOf(lines, next);
            if (outClose == lines.size()) {
                b.problem = "the ``` block of its output, at line " + std::to_string(next + 1) + ", is never closed";
                blocks.push_back(b);
                return blocks;
            }
            for (++next; next < outClose; ++next)
                if (!lines[next].trimmed().isEmpty())
                    b.outputs.push_back(lines[next].toStdString());
            i = outClose;
        }
        bool calls = false;
        for (const std::string& c : b.commands)
            calls = calls || CallsTarvik(c);
        if (calls)
            blocks.push_back(b);
    }
    return blocks;
}

QStringList DocFiles() { return QString(TARVIK_DOCS).split(',', Qt::SkipEmptyParts); }

std::vector<Block> AllBlocks()
{
    std::vector<Block> all;
    for (const QString& name : DocFiles()) {
        const std::vector<Block> blocks = BlocksIn(name.toStdString());
        all.insert(all.end(), blocks.begin(), blocks.end());
    }
    return all;
}

// Why a command cannot run here; empty when it can.
std::string SkipReason(const std::string& command)
{
    // A comment says nothing about what runs.
    static const QRegularExpression comment("(^|\\s)#.*$");
    const QString c = QString::fromStdString(command).remove(comment);
    struct Rule {
        const char* pattern;
        const char* reason;
    };
    static const Rule rules[] = {
        {"(^|\\s)sudo\\s|(^|[\\s=])/(etc|var|usr|opt|srv)/", "needs root"},
        {"TARVIK_CAMERAS=", "needs a real camera"},
        {"--live|\\|\\s*display\\b", "needs a display"},
        {"--serve", "serves until stopped, on a fixed port"},
        // Loopback is no network: such a request asks the exporter above it.
        {"(^|[\\s;|&(])(curl|wget)\\s.*//(127\\.|localhost\\b)", "asks the exporter, not run on its fixed port"},
        {"(^|[\\s;|&(])(curl|wget|arv-\\S+)\\s", "needs the network"},
        {"(^|[\\s=<>])(/tmp/|~|\\$HOME\\b)", "writes outside the test's folder"},
    };
    for (const Rule& r : rules)
        if (QRegularExpression(r.pattern).match(c).hasMatch())
            return r.reason;
    // The program without any option that works without a window opens one.
    static const QRegularExpression call("(^|[;|&(`]|\\$\\()\\s*((\\w+=\\S*|do|then|else|env|exec|nohup|time)\\s+)*tarvik\\b([^;|&)`]*)");
    static const QRegularExpression windowless(
        "(^|\\s)(-h|-v|--(help|version|list|grab|check|features|get|set|save-settings|record))\\b");
    for (auto calls = call.globalMatch(c); calls.hasNext();)
        if (!windowless.match(calls.next().captured(4)).hasMatch())
            return "needs a display";
    static const QRegularExpression seconds("--seconds\\s+([0-9.]+)");
    if (const auto m = seconds.match(c); m.hasMatch() && m.captured(1).toDouble() > 10)
        return "takes long";
    return {};
}

// Whether text holds line, `…` or `...` in it standing for any text.
bool Shows(const QString& text, const std::string& line)
{
    QStringList parts = QString::fromStdString(line).trimmed().split(QRegularExpression("…|\\.\\.\\."));
    for (QString& part : parts)
        part = QRegularExpression::escape(part);
    const QString pattern = parts.join(".*");
    return QRegularExpression("^\\s*" + pattern + "\\s*$", QRegularExpression::MultilineOption).match(text).hasMatch();
}

// Runs a block's commands one after another in dir, each in a session of
// its own with nothing to read, so that a command waiting for input ends and
// whatever the block leaves running (`&`) is ended with the block.
class BlockRunner {
public:
    explicit BlockRunner(const QString& dir) : dir_(dir)
    {
        env_ = TarvikEnvironment("width=640,height=480", {});
        env_.insert("PATH", QFileInfo(TARVIK_EXE).absolutePath() + ":" + env_.value("PATH"));
        // Without a platform that needs no display, a window that was not
        // meant to open fails at once instead of waiting unseen.
        env_.remove("QT_QPA_PLATFORM");
    }
    ~BlockRunner()
    {
        for (pid_t group : groups_)
            kill(-group, SIGKILL);
    }

    struct Result {
        bool ended = false;
        int status = -1;  // the exit code; -1 when it crashed or did not end
        QString out;
    };

    // `COMMAND || echo …` shows the reader what a failure prints; COMMAND is
    // judged all the same (the echo still prints, and the status stays a
    // failure).
    static QString Judged(const std::string& command)
    {
        static const QRegularExpression orEcho("^(.*\\S)\\s*\\|\\|\\s*(echo\\b[^;&|]*)$");
        const QString c = QString::fromStdString(command);
        const QRegularExpressionMatch m = orEcho.match(c);
        return m.hasMatch() ? m.captured(1) + " || { " + m.captured(2) + "; false; }" : c;
    }

    Result Run(const std::string& command)
    {
        QProcess bash;
        bash.setProcessEnvironment(env_);
        bash.setWorkingDirectory(dir_);
        bash.setProcessChannelMode(QProcess::MergedChannels);
        bash.setStandardInputFile(QProcess::nullDevice());
        bash.setChildProcessModifier([] { setsid(); });
        bash.start("bash", {"-o", "pipefail", "-c", Judged(command)});
        if (bash.processId() > 0)
            groups_.push_back(pid_t(bash.processId()));
        Result r;
        r.ended = bash.waitForFinished(60000);
        if (!r.ended)
            kill(-pid_t(bash.processId()), SIGKILL);
        bash.waitForFinished(5000);
        r.out = QString::fromUtf8(bash.readAll());
        if (r.ended && bash.exitStatus() == QProcess::NormalExit)
            r.status = bash.exitCode();
        return r;
    }

private:
    QString dir_;
    QProcessEnvironment env_;
    std::vector<pid_t> groups_;
};

class DocCommands : public ::testing::TestWithParam<Block> {};

TEST_P(DocCommands, Work)
{
    const Block& b = GetParam();
    ASSERT_NE(b.line, 0) << "cannot read " << b.file;
    ASSERT_EQ(b.problem, "") << b.file << ":" << b.line;
    if (!b.skipped.empty())
        GTEST_SKIP() << "marked not run by the tests: " << b.skipped;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    BlockRunner runner(dir.path());
    QString printed;
    int ran = 0;
    for (const std::string& command : b.commands) {
        if (const std::string why = SkipReason(command); !why.empty()) {
            std::printf("[  SKIP    ] %s:%d: %s (%s)\n", b.file.c_str(), b.line, command.c_str(), why.c_str());
            continue;
        }
        const BlockRunner::Result r = runner.Run(command);
        printed += r.out;
        ++ran;
        ASSERT_TRUE(r.ended) << command << ": did not end within 60 s";
        EXPECT_EQ(r.status, 0) << command << "\n" << r.out.toStdString();
    }
    if (ran == 0)
        GTEST_SKIP() << "every command of the block needs what a test run does not have";
    for (const std::string& line : b.outputs)
        EXPECT_TRUE(Shows(printed, line)) << "not printed: " << line << "\nprinted:\n" << printed.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Docs, DocCommands, ::testing::ValuesIn(AllBlocks()), [](const auto& info) {
    std::string name = info.param.file + "_" + std::to_string(info.param.line);
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return name;
});

struct SkipCase {
    const char* command;
    const char* reason;  // empty: it runs
};

const SkipCase kSkips[] = {
    {"tarvik", "needs a display"},
    {"tarvik --camera sim-0", "needs a display"},
    {"tarvik --settings roi.txt --pixel-format Mono8", "needs a display"},
    {"for id in a b; do tarvik --camera \"$id\"; done", "needs a display"},
    {"tarvik --grab x.png && tarvik --camera sim-0", "needs a display"},
    {"arv-tool-0.8 -a 127.0.0.1 control Width", "needs the network"},
    {"curl -s 'http://127.0.0.1:13956/probe?camera=sim-0' | grep verdict", "asks the exporter, not run on its fixed port"},
    {"curl -s http://localhost:13956/metrics", "asks the exporter, not run on its fixed port"},
    {"curl -sO https://example.org/tarvik.deb", "needs the network"},
    {"tarvik --grab /tmp/cam.png", "writes outside the test's folder"},
    {"tarvik --record ~/run.mkv --frames 5", "writes outside the test's folder"},
    {"tarvik --list | cut -f1                # ids for the --live view", ""},
    {"tarvik --set Width=640 --set Height=480 --save-settings roi.txt", ""},
    {"for id in $(tarvik --list | cut -f1); do tarvik --camera \"$id\" --grab \"$id.png\"; done", ""},
    {"TARVIK_SIM=width=8 tarvik --features > f.txt", ""},
    {"tarvik --record run.mkv --seconds 2 2> /dev/null", ""},
};

void PrintTo(const SkipCase& c, std::ostream* os) { *os << c.command; }

class DocSkip : public ::testing::TestWithParam<SkipCase> {};

// What a test run cannot give is skipped, and only that.
TEST_P(DocSkip, Reason)
{
    EXPECT_EQ(SkipReason(GetParam().command), GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(Table, DocSkip, ::testing::ValuesIn(kSkips));

// Whether pid is a process that still runs (not gone, not a zombie).
bool Running(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] != 'Z' &&
           text[paren + 2] != 'X';
}

// A command that reads its input ends at once, and what a block starts in
// the background does not outlive it.
TEST(DocBlockRunner, NothingWaitsOrStays)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    pid_t left = 0;
    {
        BlockRunner runner(dir.path());
        const BlockRunner::Result read = runner.Run("cat > got.txt");
        EXPECT_TRUE(read.ended);
        EXPECT_EQ(read.status, 0);
        const BlockRunner::Result background = runner.Run("sleep 300 > /dev/null & echo $!");
        ASSERT_EQ(background.status, 0);
        left = pid_t(background.out.trimmed().toInt());
        ASSERT_GT(left, 0);
        EXPECT_TRUE(Running(left));
    }
    ASSERT_SOON(!Running(left));
}

// The guide's way to read a recording's frames back with FFmpeg gives every
// frame once and says nothing, also for a camera whose clock jumped (FFmpeg
// guesses a rate from the first frames and, left to itself, puts frames on
// its grid, where two of them can fall on one step).
TEST(DocRecipe, FfmpegReadsEveryFrame)
{
    QFile readme(QString(TARVIK_SOURCE_DIR) + "/docs/recording.md");
    ASSERT_TRUE(readme.open(QIODevice::ReadOnly));
    static const QRegularExpression recipe("`(ffmpeg -i NAME\\.mkv [^`]*-f rawvideo -)`");
    const QRegularExpressionMatch m = recipe.match(QString::fromUtf8(readme.readAll()));
    ASSERT_TRUE(m.hasMatch()) << "no `ffmpeg -i NAME.mkv ... -f rawvideo -` in docs/recording.md";
    QTemporaryDir dir;
    const int frames = 12;
    const TarvikRun run = RunTarvik({"--record", "x.mkv", "--frames", QString::number(frames)},
                                    "width=64,height=48,formats=Mono8,clock=jump", {}, dir.path());
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    QProcess ffmpeg;
    ffmpeg.setWorkingDirectory(dir.path());
    QStringList args = m.captured(1).replace("NAME.mkv", "x.mkv").split(' ', Qt::SkipEmptyParts);
    args.removeFirst();
    ffmpeg.start("ffmpeg", QStringList{"-nostdin", "-v", "error"} + args);
    ASSERT_TRUE(ffmpeg.waitForFinished(60000));
    EXPECT_EQ(ffmpeg.exitCode(), 0);
    EXPECT_EQ(ffmpeg.readAllStandardOutput().size(), frames * 64 * 48);
    EXPECT_EQ(ffmpeg.readAllStandardError().toStdString(), "");
}

// The guide's probe of a served camera, pasted as it stands (the server
// started in the background and the probe at once after it, as a pasted
// block runs), on a free port instead of 13956: it answers with the verdict.
TEST(DocRecipe, ProbeRightAfterServing)
{
    QFile page(QString(TARVIK_SOURCE_DIR) + "/docs/check.md");
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(page.readAll());
    static const QRegularExpression serve("^tarvik --serve 13956 &.*$", QRegularExpression::MultilineOption);
    static const QRegularExpression probe("^curl .*127\\.0\\.0\\.1:13956/probe.*$", QRegularExpression::MultilineOption);
    const QRegularExpressionMatch served = serve.match(text);
    const QRegularExpressionMatch probed = probe.match(text);
    ASSERT_TRUE(served.hasMatch()) << "no `tarvik --serve 13956 &` line in docs/check.md";
    ASSERT_TRUE(probed.hasMatch()) << "no `curl ... 127.0.0.1:13956/probe ...` line in docs/check.md";
    const int port = serve::FreePort();
    ASSERT_GT(port, 0);
    QString commands = served.captured(0) + "\n" + probed.captured(0);
    commands.replace("13956", QString::number(port));
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    BlockRunner runner(dir.path());
    const BlockRunner::Result r = runner.Run(commands.toStdString());
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.status, 0) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("tarvik_check_verdict 0")) << r.out.toStdString();
}

struct ShowsCase {
    const char* printed;
    const char* line;  // as the page shows it
    bool shown;
};

void PrintTo(const ShowsCase& c, std::ostream* os) { *os << c.line; }

const ShowsCase kShows[] = {
    {"tarvik: recorded 50 frames to \"run.mkv\": 0 dropped\n", "tarvik: recorded 50 frames to \"run.mkv\": …", true},
    {"tarvik: recorded 50 frames\n", "… 50 frames", true},
    {"tarvik: recorded 50 frames\n", "...recorded 50…", true},
    {"tarvik: recorded 50 frames\n", "… 51 frames", false},
    {"50\n", "50", true},
    {"500\n", "50", false},
    {"a 50\n", "50", false},
    {"abc\n", "a.c", false},
    {"a.c\n", "a.c", true},
    {"[ok] (1+1)*2 $x ^\n", "[ok] (1+1)*2 $x ^", true},
    {"Verdict  ok\nnext\n", "Verdict  ok", true},
    {"Verdict\nok\n", "Verdict ok", false},
};

class DocShows : public ::testing::TestWithParam<ShowsCase> {};

// An expected line is a whole printed line, `…` standing for any text
// wherever it is, and nothing else in it is a pattern.
TEST_P(DocShows, Line)
{
    EXPECT_EQ(Shows(QString::fromUtf8(GetParam().printed), GetParam().line), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Table, DocShows, ::testing::ValuesIn(kShows));

struct JudgedCase {
    const char* command;
    bool succeeds;
    const char* printed;  // in what it printed
};

void PrintTo(const JudgedCase& c, std::ostream* os) { *os << c.command; }

const JudgedCase kJudged[] = {
    {"false || echo \"status $?\"", false, "status 1"},
    {"true || echo \"status $?\"", true, ""},
    {"false | cat || echo \"a camera failed its check\"", false, "a camera failed its check"},
    {"(exit 6) || echo failed; true", true, "failed"},
    {"false", false, ""},
};

class DocJudged : public ::testing::TestWithParam<JudgedCase> {};

// `COMMAND || echo …` shows the reader what a failure prints; it does not
// make COMMAND's failure a success.
TEST_P(DocJudged, ByTheCommand)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    BlockRunner runner(dir.path());
    const BlockRunner::Result r = runner.Run(GetParam().command);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.status == 0, GetParam().succeeds) << r.status;
    EXPECT_TRUE(r.out.contains(GetParam().printed)) << r.out.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Table, DocJudged, ::testing::ValuesIn(kJudged));

struct PageCase {
    const char* name;
    const char* text;     // nullptr: the file does not exist
    size_t blocks;        // the blocks BlocksIn gives
    int firstLine;        // of the first block: 0 says the file could not be read
    const char* problem;  // in the first block's problem; empty: none
};

void PrintTo(const PageCase& c, std::ostream* os) { *os << c.name; }

const PageCase kPages[] = {
    {"missing", nullptr, 1, 0, ""},
    {"no_blocks", "# A page\n\nOnly words, and `tarvik --list` in a line.\n", 0, 0, ""},
    {"other_commands_only", "```sh\nbash scripts/run.sh\n```\n", 0, 0, ""},
    {"one_block", "# A page\n\n```sh\ntarvik --list\n```\n", 1, 3, ""},
    // A fence left open makes the rest of the page code where it is shown;
    // run as it was, the page would pass.
    {"unclosed_block", "```sh\ntarvik --list\n\nMore words.\n", 1, 1, "never closed"},
    {"unclosed_output", "```sh\ntarvik --list\n```\n```\nsim-0…\n", 1, 1, "never closed"},
    {"unclosed_other_block", "```\nwords\n\n```sh\ntarvik --list\n", 1, 1, "never closed"},
    {"output_block_closed", "```sh\ntarvik --list\n```\n```\nsim-0…\n```\n", 1, 1, ""},
    // Lines that leave state for the next would each run without it.
    {"export_line", "```sh\nexport TARVIK_SIM=width=64\ntarvik --list\n```\n", 1, 1, "line 2 (export"},
    {"variable_line", "```sh\nid=sim-0\ntarvik --camera \"$id\" --grab x.png\n```\n", 1, 1, "line 2 (id=sim-0)"},
    {"cd_line", "```sh\nmkdir out\ncd out\ntarvik --grab x.png\n```\n", 1, 1, "line 3 (cd out)"},
    {"loop_over_lines", "```sh\nfor i in 1 2; do\n  tarvik --list\ndone\n```\n", 1, 1, "shell of its own"},
    {"pipe_over_lines", "```sh\ntarvik --list |\n  cut -f1\n```\n", 1, 1, "shell of its own"},
    {"here_document", "```sh\ncat > s.txt <<END\nWidth=64\nEND\ntarvik --settings s.txt --grab x.png\n```\n", 1, 1,
     "shell of its own"},
    {"one_line_each", "```sh\nTARVIK_SIM=width=64 tarvik --list   # one | two\nfor i in 1; do tarvik --list; done\n```\n", 1,
     1, ""},
    // Written the other ways a shell block is named, it runs all the same.
    {"bash_block", "```bash\ntarvik --list\n```\n", 1, 1, ""},
    {"shell_block", "Text.\n```shell\ntarvik --list\n```\n", 1, 2, ""},
};

class DocPage : public ::testing::TestWithParam<PageCase> {};

// A page of the guide without a command to run adds no case, and one that
// cannot be read gives a case that fails, never a silent nothing.
TEST_P(DocPage, Blocks)
{
    const PageCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QString(c.name) + ".md");
    if (c.text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(c.text), qint64(qstrlen(c.text)));
    }
    const std::vector<Block> blocks = BlocksIn(path.toStdString());
    ASSERT_EQ(blocks.size(), c.blocks);
    if (!blocks.empty()) {
        EXPECT_EQ(blocks.front().line, c.firstLine);
        if (*c.problem)
            EXPECT_NE(blocks.front().problem.find(c.problem), std::string::npos) << blocks.front().problem;
        else
            EXPECT_EQ(blocks.front().problem, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, DocPage, ::testing::ValuesIn(kPages),
                         [](const auto& info) { return std::string(info.param.name); });

// The anchor a Markdown heading gets: lower case, punctuation dropped, spaces
// as hyphens.
QString Anchor(QString heading)
{
    heading = heading.toLower();
    heading.remove(QRegularExpression("[^\\w\\- ]"));
    return heading.replace(' ', '-');
}

// Every link between the README and the guide's pages leads to a file that
// exists and, with an anchor, to a heading of that page: a heading renamed or
// a page moved breaks no link unseen.
TEST(DocLinks, LeadSomewhere)
{
    static const QRegularExpression link("\\]\\(([^)\\s]+)\\)");
    static const QRegularExpression heading("^#+\\s+(.*?)\\s*$");
    int links = 0;
    for (const QString& name : DocFiles()) {
        const QString path = QString(TARVIK_SOURCE_DIR) + "/" + name;
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << "cannot read " << name.toStdString();
        bool inCode = false;
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
        for (int i = 0; i < lines.size(); ++i) {
            if (!Fence(lines[i]).isEmpty())
                inCode = !inCode;
            if (inCode)
                continue;
            for (auto m = link.globalMatch(lines[i]); m.hasNext();) {
                const QString target = m.next().captured(1);
                if (target.contains("://") || target.startsWith("mailto:"))
                    continue;
                ++links;
                const QString where = name + ":" + QString::number(i + 1) + ": " + target;
                const int hash = target.indexOf('#');
                const QString linkedName = hash < 0 ? target : target.left(hash);
                const QString linked =
                    linkedName.isEmpty() ? path : QFileInfo(QFileInfo(path).dir(), linkedName).absoluteFilePath();
                ASSERT_TRUE(QFileInfo::exists(linked)) << where.toStdString() << ": no such file";
                if (hash < 0)
                    continue;
                QFile page(linked);
                ASSERT_TRUE(page.open(QIODevice::ReadOnly));
                QStringList anchors;
                bool pageCode = false;
                for (const QString& line : QString::fromUtf8(page.readAll()).split('\n')) {
                    if (!Fence(line).isEmpty())
                        pageCode = !pageCode;
                    if (const auto h = heading.match(line); !pageCode && h.hasMatch())
                        anchors << Anchor(h.captured(1));
                }
                EXPECT_TRUE(anchors.contains(target.mid(hash + 1)))
                    << where.toStdString() << ": no such heading; there are " << anchors.join(", ").toStdString();
            }
        }
    }
    EXPECT_GT(links, 0);
}

}  // namespace
