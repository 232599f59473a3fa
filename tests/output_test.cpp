// Nothing lost, nothing leaked: the real program writing to a full disk, to
// FIFOs, devices, sockets and links, under names that are not UTF-8, to a
// closed or full standard output, and from a camera that sends less than it
// announced. Each row is a bash script run in an empty folder.
#include "DialogHarness.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/mount.h>

#include <fstream>
#include <sstream>

namespace {

struct OutputCase {
    const char* name;
    const char* sim;     // TARVIK_SIM
    // Bash. `run ARGS` runs the program, appending its stderr to "err" and its
    // status to "status"; ref.png is what a good grab writes; "disk" is an
    // empty folder, a small file system that four files fill where mounting is
    // allowed. Status 77 skips the case.
    const char* script;
    const char* status;  // every run's status, in order
    const char* err;     // the programs' stderr, exactly
    const char* check;   // bash that must succeed afterwards
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

#define NO_SPACE(f) "tarvik: cannot write \"disk/" f "\": No space left on device\n"

const OutputCase kCases[] = {
    // A full disk: status 5, the old file byte for byte, no new or temporary file.
    {"full disk", "width=640,height=480", "for f in x.png x.tiff x.bmp x.jpg; do echo old >disk/$f; done;"
     "for f in x.png y.png x.tiff y.tif x.bmp y.bmp x.jpg y.jpeg; do run --grab disk/$f; done",
     "5 5 5 5 5 5 5 5",
     NO_SPACE("x.png") NO_SPACE("y.png") NO_SPACE("x.tiff") NO_SPACE("y.tif") NO_SPACE("x.bmp")
     NO_SPACE("y.bmp") NO_SPACE("x.jpg") NO_SPACE("y.jpeg"),
     "for f in x.png x.tiff x.bmp x.jpg; do [ \"$(cat disk/$f)\" = old ]; done;"
     "[ \"$(ls -A disk | tr '\\n' ' ')\" = 'fill x.bmp x.jpg x.png x.tiff ' ]"},
    // Not regular files: written into, never replaced.
    {"fifo", "", "mkfifo f.png; cat f.png >got & run --grab f.png; wait", "0", "",
     "test -p f.png && cmp got ref.png"},
    // A node of its own for /dev/null: a program that replaced it would harm nothing else.
    {"link to a device", "", "mknod null c 1 3 2>/dev/null || exit 77; ln -s null null.png; run --grab null.png",
     "0", "", "test -L null.png && test -c null"},
    {"/dev/stdout", "", "run --grab /dev/stdout >got; run --grab /dev/stdout | cat >piped", "0 0", "",
     "cmp got ref.png && cmp piped ref.png"},
    // Links: followed to a regular file, which is replaced; the link stays.
    {"link to a file", "", "echo old >real.png; chmod 640 real.png; ln -s real.png link.png; run --grab link.png",
     "0", "", "test -L link.png && cmp real.png ref.png && [ \"$(stat -c %a real.png)\" = 640 ]"},
    {"dangling link", "", "ln -s nowhere.png dangling.png; run --grab dangling.png", "5",
     "tarvik: cannot write \"dangling.png\": it is a symbolic link to a file that does not exist\n",
     "test -L dangling.png && ! test -e nowhere.png"},
    {"folder", "", "mkdir d.png; run --grab d.png", "5", "tarvik: cannot write \"d.png\": Is a directory\n",
     "test -d d.png"},
    // File names are bytes; messages show them escaped.
    {"latin-1 names", "", "run --grab $'caf\\xe9.png'; run --grab $'caf\\xe8.png'; run --grab $'no/caf\\xe9.png'",
     "0 0 5", "tarvik: cannot write \"no/caf\\xe9.png\": No such file or directory\n",
     "cmp $'caf\\xe9.png' ref.png && cmp $'caf\\xe8.png' ref.png && [ $(ls | wc -l) = 6 ] &&"
     "rm $'caf\\xe9.png' $'caf\\xe8.png'"},  // names QTemporaryDir cannot remove
    // Standard output that cannot be written.
    {"stdout closed", "", "run --grab - >&-", "5", "tarvik: cannot write standard output: Bad file descriptor\n",
     "true"},
    {"stdout full", "", "run --list >/dev/full; run --help >/dev/full; run --version >/dev/full", "5 5 5",
     "tarvik: cannot write standard output: No space left on device\n"
     "tarvik: cannot write standard output: No space left on device\n"
     "tarvik: cannot write standard output: No space left on device\n",
     "true"},
    // A camera that sends less than it announced: only what it wrote is shown,
    // never heap bytes (which MALLOC_PERTURB_, or AddressSanitizer, fills in).
    {"short frame", "width=16,height=8,filled=200",
     "MALLOC_PERTURB_=165 run --grab short.png; TARVIK_SIM=width=16,height=8,payload=192 run --grab half.png",
     "0 0", "", "cmp short.png half.png"},
    {"frame of another size", "width=16,height=8,frame=16x4", "run --grab x.png", "4",
     "tarvik: the camera sent a frame of 16 x 4 pixels, not the 16 x 8 it reported when opened; "
     "nothing to show\n",
     "! test -e x.png"},
    // Control characters are escaped; bad settings make one line.
    {"control characters", "", "run $'--fr\\x1bob'; run $'x\\x07.png'", "64 64",
     "tarvik: Unknown option 'fr\\x1bob'.\n"
     "Usage: tarvik [--camera ID] [--pixel-format NAME] [--live | --grab FILE]\n"
     "       tarvik --list | --help | --version\n"
     "tarvik: unexpected argument 'x\\x07.png'\n"
     "Usage: tarvik [--camera ID] [--pixel-format NAME] [--live | --grab FILE]\n"
     "       tarvik --list | --help | --version\n",
     "true"},
    {"bad settings", "gain=3", "run --list; TARVIK_CAMERAS=webcam run --grab x.png", "2 2",
     "tarvik: TARVIK_SIM: unknown setting \"gain\" (known: count, width, height, formats, adjust, frames, "
     "payload, frame, filled, rate, rated, picture)\n"
     "tarvik: TARVIK_CAMERAS: unknown camera source \"webcam\" (known: sim, aravis, aravis-fake, gige:ARG)\n",
     "! test -e x.png"},
};

std::string Contents(const QString& path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A 32 KiB file system with 16 KiB used at path, so that four small files
// fill it; false where mounting is not allowed.
bool MountSmallDisk(const QString& path)
{
    if (mount("tmpfs", path.toLocal8Bit().constData(), "tmpfs", 0, "size=32k") != 0)
        return false;
    std::ofstream(QString(path + "/fill").toStdString()) << std::string(16384, 'x');
    return true;
}

class OutputTest : public ::testing::TestWithParam<OutputCase> {};

TEST_P(OutputTest, NothingLost)
{
    const OutputCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkdir("disk"));
    const bool full = std::string(c.name) == "full disk";
    if (full && !MountSmallDisk(dir.filePath("disk")))
        GTEST_SKIP() << "no small file system: mounting is not allowed here";
    struct Unmount {
        QString path;
        ~Unmount() { umount(path.toLocal8Bit().constData()); }
    } unmount{full ? dir.filePath("disk") : QString()};

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "TARVIK_CAMERAS", "TARVIK_CAMERA_TRACE"})
        env.remove(name);
    env.insert("TARVIK_SIM", *c.sim ? c.sim : "width=16,height=8");
    env.insert("T", TARVIK_EXE);
    const QString script = QString("set -u\n"
                                   "run() { \"$T\" \"$@\" 2>>err; echo -n \"$? \" >>status; }\n"
                                   "\"$T\" --grab ref.png\n") +
                           c.script + "\n" + c.check + "\n";
    QProcess bash;
    bash.setProcessEnvironment(env);
    bash.setWorkingDirectory(dir.path());
    bash.start("bash", {"-c", script});
    ASSERT_TRUE(bash.waitForFinished(60000));
    if (bash.exitCode() == 77)
        GTEST_SKIP() << "not allowed here: " << c.script;
    EXPECT_EQ(QString::fromStdString(Contents(dir.filePath("status"))).trimmed().toStdString(), c.status);
    EXPECT_EQ(Contents(dir.filePath("err")), c.err);
    EXPECT_EQ(bash.exitCode(), 0) << "check failed: " << c.check << "\n"
                                  << bash.readAllStandardError().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Table, OutputTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return harness::CaseName(info.param.name); });

// A socket is connected to and written into, not replaced.
TEST(OutputSocket, WrittenInto)
{
    QTemporaryDir dir;
    QLocalServer server;
    ASSERT_TRUE(server.listen(dir.filePath("s.png")));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("TARVIK_CAMERAS");
    env.insert("TARVIK_SIM", "width=16,height=8");
    QProcess tarvik;
    tarvik.setProcessEnvironment(env);
    tarvik.start(TARVIK_EXE, {"--grab", dir.filePath("s.png")});
    ASSERT_TRUE(server.waitForNewConnection(30000));
    QLocalSocket* peer = server.nextPendingConnection();
    QByteArray got;
    while (peer->state() == QLocalSocket::ConnectedState || peer->bytesAvailable())
        if (peer->waitForReadyRead(100) || peer->bytesAvailable())
            got += peer->readAll();
    ASSERT_TRUE(tarvik.waitForFinished(30000));
    EXPECT_EQ(tarvik.exitCode(), 0) << tarvik.readAllStandardError().toStdString();
    tarvik.start(TARVIK_EXE, {"--grab", "-"});
    ASSERT_TRUE(tarvik.waitForFinished(30000));
    EXPECT_EQ(got, tarvik.readAllStandardOutput());
    EXPECT_EQ(QFileInfo(dir.filePath("s.png")).isFile(), false);
}

// Ctrl+S on a full disk says so for every format and harms nothing.
TEST(SaveOnFullDisk, EveryFormat)
{
    QTemporaryDir dir;
    const QString disk = dir.filePath("disk");
    ASSERT_TRUE(QDir(dir.path()).mkdir("disk"));
    if (!MountSmallDisk(disk))
        GTEST_SKIP() << "no small file system: mounting is not allowed here";
    unsetenv("TARVIK_CAMERAS");
    setenv("TARVIK_SIM", "width=640,height=480", 1);
    harness::ResetCameraState();
    {
        harness::ShownDialog window;
        ASSERT_NO_FATAL_FAILURE(window.Show());
        window.Click(IDC_INIT_GRAB_START);
        window.Click(IDC_GRAB_ONCE);
        const char* const names[] = {"x.png", "x.tiff", "x.bmp", "x.jpg"};
        for (const char* name : names)
            std::ofstream(QString(disk + "/" + name).toStdString()) << "old";
        for (const char* name : names) {
            EXPECT_EQ(window.dlg.SavePictureTo(QString(disk + "/" + name).toStdString()),
                      "No space left on device")
                << name;
            EXPECT_TRUE(Contents(disk + "/" + name) == "old") << name;
        }
        EXPECT_EQ(QDir(disk).entryList(QDir::Files | QDir::Hidden).size(), 5);
    }
    harness::ResetCameraState();
    unsetenv("TARVIK_SIM");
    umount(disk.toLocal8Bit().constData());
}

}  // namespace
