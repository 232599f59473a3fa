// The command line's dispatch over each command's option table, in-process:
// the tables share no option, every option belongs to exactly one table, and
// when several things are wrong the message is the one the order of the
// commands' readers has always given.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <QSet>

#include <string>
#include <vector>

namespace {

CommandLine Parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "tarvik");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    return ParseCommandLine(int(argv.size()), argv.data());
}

TEST(CommandOptions, EachOptionInOneTable)
{
    const CheckOptionTable check;
    const GrabOptionTable grab;
    const LiveOptionTable live;
    const SettingsOptionTable settings;
    const RecordOptionTable record;
    const ServeOptionTable serve;
    QList<QCommandLineOption> all = check.Options() + settings.Options() + record.Options();
    all << grab.grab << grab.timeout << live.live << serve.serve;
    QSet<QString> names;
    for (const QCommandLineOption& option : all)
        for (const QString& name : option.names()) {
            EXPECT_FALSE(names.contains(name)) << name.toStdString() << " is in two tables";
            names.insert(name);
        }
    // And the dispatcher knows every one of them.
    for (const QCommandLineOption& option : all) {
        std::vector<std::string> args = {"--" + option.names().first().toStdString()};
        if (!option.valueName().isEmpty())
            args.push_back("1");
        const CommandLine cl = Parse(args);
        EXPECT_EQ(cl.error.rfind("Unknown option", 0), std::string::npos) << args[0] << ": " << cl.error;
    }
}

struct Row {
    std::vector<std::string> args;
    CommandLine::Mode mode;
    std::string error;  // Mode::Usage: the whole message
};

TEST(CommandOptions, EachCommandReadsOnlyItsOwn)
{
    using M = CommandLine::Mode;
    const std::vector<Row> rows = {
        // Each command with only its own options.
        {{"--check", "--frames", "3", "--trigger", "software", "--trigger-rate", "5"}, M::Check, ""},
        {{"--record", "r.mkv", "--frames", "3", "--overwrite", "--record-buffer", "1M"}, M::Record, ""},
        {{"--grab", "f.png", "--timeout", "1"}, M::Grab, ""},
        {{"--serve", "9", "--frames", "3", "--max-clipped", "2"}, M::Serve, ""},
        {{"--get", "Width", "--set", "Width=32"}, M::Features, ""},
        {{"--live", "--trigger-rate", "5"}, M::Window, ""},
        {{"--live", "--record", "r.mkv"}, M::Window, ""},
        {{"--live", "--inspect"}, M::Window, ""},
        {{"--live", "--inspect", "--record", "r.mkv"}, M::Window, ""},
        {{"--inspect"}, M::Usage, "--inspect opens the viewer beside the window's live view: it goes with --live"},
        {{"--grab", "f.png", "--inspect"}, M::Usage,
         "--inspect opens the viewer beside the window's live view: it goes with --live"},
        {{"--check", "--inspect"}, M::Usage,
         "--inspect opens the viewer beside the window's live view: it goes with --live"},
        // Another command's options are refused by name.
        {{"--grab", "f.png", "--all"}, M::Usage, "--all goes with --check"},
        {{"--record", "r.mkv", "--all"}, M::Usage, "--all goes with --check"},
        {{"--grab", "f.png", "--seconds", "1"}, M::Usage, "--seconds goes with --check or --record"},
        {{"--check", "--overwrite"}, M::Usage, "--overwrite goes with --record"},
        {{"--check", "--timeout", "1"}, M::Usage, "--timeout goes with --grab"},
        {{"--grab", "f.png", "--trigger-rate", "5"}, M::Usage,
         "--trigger-rate goes with --check --trigger software or --live"},
        {{"--serve", "9", "--trigger", "software"}, M::Usage,
         "--serve goes with --settings, --pixel-format, --frames, --seconds, --max-rate-shortfall, --max-clipped "
         "and --max-clock-drift only, not with --trigger"},
        {{"--record", "r.mkv", "--get", "Width"}, M::Usage,
         "--get, --features and --save-settings go without --record (the recording's .settings file holds the "
         "camera's settings)"},
        // Several things wrong: the reader that always came first says it.
        {{"--frames", "1", "--frames", "2", "--camera", ""}, M::Usage, "--frames given more than once"},
        {{"--camera", "", "--list"}, M::Usage, "--camera needs a camera id"},
        {{"--settings", "", "--serve", "x"}, M::Usage, "--settings needs a file name, or - for standard input"},
        {{"--serve", "x", "--set", "bad="}, M::Usage, "--serve goes with --settings, --pixel-format, --frames, "
                                                      "--seconds, --max-rate-shortfall, --max-clipped and "
                                                      "--max-clock-drift only, not with --set"},
        {{"--overwrite", "--timeout", "1"}, M::Usage, "--overwrite goes with --record"},
        {{"--record", "r.mkv", "--timeout", "1"}, M::Usage, "--timeout goes with --grab"},
        {{"--record", "r.mkv", "--trigger-rate", "5"}, M::Usage,
         "--trigger-rate goes with --check --trigger software or --live"},
        {{"--record", "r.avi", "--max-clipped", "1"}, M::Usage, "--max-clipped goes with --check"},
        {{"--check", "--live", "--frames", "0"}, M::Usage,
         "--check works without a window and writes a report: not with --grab or --live"},
        {{"--check", "--frames", "0", "--json", "--prometheus"}, M::Usage,
         "--frames needs a whole number from 1 to 1000000000, got '0'"},
        {{"--live", "--grab", "f.xyz"}, M::Usage, "--live opens the window; --grab works without one: use one of them"},
    };
    for (const Row& row : rows) {
        std::string args;
        for (const std::string& a : row.args)
            args += a + " ";
        const CommandLine cl = Parse(row.args);
        EXPECT_EQ(int(cl.mode), int(row.mode)) << args << cl.error;
        EXPECT_EQ(cl.error, row.error) << args;
    }
}

}  // namespace
