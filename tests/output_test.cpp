// Nothing lost, nothing leaked: the real program writing to a full or nearly
// full disk, to FIFOs, devices, sockets and links, under names that are not UTF-8, to a
// closed or full standard output, and from a camera that sends less than it
// announced. Each row is a bash script run in an empty folder.
#include "DialogHarness.h"
#include "SmallDisk.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

struct OutputCase {
    const char* name;
    const char* sim;     // TARVIK_SIM
    // Bash. `run ARGS` runs the program, appending its stderr to "err" and its
    // status to "status"; ref.png is what a good grab writes; "disk" is an
    // empty folder, a small file system with 16 KiB free that four small
    // files fill, where mounting is allowed; `leave BYTES` leaves that much of
    // it free (whole pages) by resizing disk/fill. Status 77 skips the case.
    const char* script;
    const char* status;  // every run's status, in order
    const char* err;     // the programs' stderr, exactly
    const char* check;   // bash that must succeed afterwards
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

#define NO_SPACE(f) "tarvik: cannot write \"disk/" f "\": No space left on device\n"

// Every writer over an old file and under a new name, each with `free` bytes
// left (bash, may use the name in $f): PNG, TIFF, BMP and JPEG by --grab, then
// --save-settings. What fits must be whole, what does not must leave the old
// file and no new one.
#define NEARLY_FULL(free)                                                                         \
    "for e in tif bmp jpg; do \"$T\" --grab ref.$e; done; \"$T\" --save-settings ref.txt;"         \
    "leave 65536; for f in x.png x.tif x.bmp x.jpg x.txt; do echo old >disk/$f; done;"              \
    "for f in x.png y.png x.tif y.tif x.bmp y.bmp x.jpg y.jpg; do leave " free "; run --grab disk/$f; done;" \
    "for f in x.txt y.txt; do leave " free "; run --save-settings disk/$f; done"
#define OLD_OR_WHOLE(files)                                                                       \
    "for f in x.png x.tif x.bmp x.jpg x.txt; do [ \"$(cat disk/$f)\" = old ] || cmp disk/$f ref.${f#*.}; done;" \
    "for f in y.png y.tif y.bmp y.jpg y.txt; do ! test -e disk/$f || cmp disk/$f ref.${f#*.}; done;" \
    "[ \"$(ls -A disk | tr '\\n' ' ')\" = '" files "' ]"
#define NO_SPACE_FOR_PICTURES                                                                     \
    NO_SPACE("x.tif") NO_SPACE("y.tif") NO_SPACE("x.bmp") NO_SPACE("y.bmp") NO_SPACE("x.jpg")      \
    NO_SPACE("y.jpg")

const OutputCase kCases[] = {
    // A full disk: status 5, the old file byte for byte, no new or temporary file.
    {"full disk", "width=640,height=480", "for f in x.png x.tiff x.bmp x.jpg; do echo old >disk/$f; done;"
     "for f in x.png y.png x.tiff y.tif x.bmp y.bmp x.jpg y.jpeg; do run --grab disk/$f; done",
     "5 5 5 5 5 5 5 5",
     NO_SPACE("x.png") NO_SPACE("y.png") NO_SPACE("x.tiff") NO_SPACE("y.tif") NO_SPACE("x.bmp")
     NO_SPACE("y.bmp") NO_SPACE("x.jpg") NO_SPACE("y.jpeg"),
     "for f in x.png x.tiff x.bmp x.jpg; do [ \"$(cat disk/$f)\" = old ]; done;"
     "[ \"$(ls -A disk | tr '\\n' ' ')\" = 'fill x.bmp x.jpg x.png x.tiff ' ]"},
    // A few pages left: Qt's writers once left a truncated TIFF and reported
    // success, and blamed the picture for a BMP that did not fit.
    {"nearly full disk 0 KiB", "width=640,height=480", NEARLY_FULL("0"), "5 5 5 5 5 5 5 5 5 5",
     NO_SPACE("x.png") NO_SPACE("y.png") NO_SPACE_FOR_PICTURES NO_SPACE("x.txt") NO_SPACE("y.txt"),
     OLD_OR_WHOLE("fill x.bmp x.jpg x.png x.tif x.txt ")},
    {"nearly full disk 4 KiB", "width=640,height=480", NEARLY_FULL("4096"), "5 5 5 5 5 5 5 5 0 0",
     NO_SPACE("x.png") NO_SPACE("y.png") NO_SPACE_FOR_PICTURES,
     OLD_OR_WHOLE("fill x.bmp x.jpg x.png x.tif x.txt y.txt ")},
    {"nearly full disk 8 KiB", "width=640,height=480", NEARLY_FULL("8192"), "0 0 5 5 5 5 5 5 0 0",
     NO_SPACE_FOR_PICTURES, OLD_OR_WHOLE("fill x.bmp x.jpg x.png x.tif x.txt y.png y.txt ")},
    {"nearly full disk half the file", "width=640,height=480",
     NEARLY_FULL("$(( $(stat -c %s ref.${f#*.}) / 2 ))"), "5 5 5 5 5 5 5 5 5 5",
     NO_SPACE("x.png") NO_SPACE("y.png") NO_SPACE_FOR_PICTURES NO_SPACE("x.txt") NO_SPACE("y.txt"),
     OLD_OR_WHOLE("fill x.bmp x.jpg x.png x.tif x.txt ")},
    {"standard output on a nearly full disk", "width=640,height=480", "leave 4096; run --grab - >disk/out.png",
     "5", "tarvik: cannot write standard output: No space left on device\n", "true"},
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
    // Root saving over a user's file leaves it theirs, as writing into it would.
    {"owner kept", "", "[ $(id -u) = 0 ] || exit 77; echo old >o.png; chown nobody:nogroup o.png; chmod 640 o.png;"
     "run --grab o.png", "0", "", "cmp o.png ref.png && [ \"$(stat -c %U:%G:%a o.png)\" = nobody:nogroup:640 ]"},
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
     "payload, frame, filled, rate, rated, picture, line0, line1, line_jitter, clock_ppm, clock, software_trigger, noise)\n"
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

// A small file system at path (2 MiB, as in RAM) with free bytes left;
// false where mounting is not allowed.
bool MountSmallDisk(const QString& path, qint64 free = 16384)
{
    return harness::MountSmallDisk(path.toStdString(), uint64_t(free));
}

bool LeaveFree(const QString& path, qint64 free) { return harness::LeaveFree(path.toStdString(), uint64_t(free)); }

class OutputTest : public ::testing::TestWithParam<OutputCase> {};

TEST_P(OutputTest, NothingLost)
{
    const OutputCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkdir("disk"));
    const bool full = std::strstr(c.script, "disk/") != nullptr;
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
                                   "leave() { : >disk/fill; local room=$(( $(df -B1 --output=avail disk | tail -1)"
                                   " - $1 / 4096 * 4096 )); [ $room -le 0 ] || head -c $room /dev/zero >disk/fill; }\n"
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

// Ctrl+S on a full or nearly full disk says so for every format and harms
// nothing; what fits is written whole.
struct SaveCase {
    const char* name;
    qint64 free;       // bytes left for each save; -1: half the file's size
    const char* fits;  // the formats whose files fit, by extension
};

void PrintTo(const SaveCase& c, std::ostream* os) { *os << c.name; }

const SaveCase kSaveCases[] = {
    {"full", 0, ""},
    {"4 KiB", 4096, ""},
    {"8 KiB", 8192, "png"},  // a PNG of the bars is under 8 KiB, a JPEG over it
    {"half the file", -1, ""},
};

class SaveOnFullDisk : public ::testing::TestWithParam<SaveCase> {};

TEST_P(SaveOnFullDisk, EveryFormat)
{
    const SaveCase& c = GetParam();
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
        QStringList left{"fill"};
        for (const char* ext : {"png", "tiff", "bmp", "jpg"}) {
            const QString ref = dir.filePath(QString("ref.") + ext);
            ASSERT_EQ(window.dlg.SavePictureTo(ref.toStdString()), "") << ext;
            const qint64 free = c.free >= 0 ? c.free : QFileInfo(ref).size() / 2;
            const bool fits = std::strstr(c.fits, ext) != nullptr;
            ASSERT_TRUE(LeaveFree(disk, 4096));
            std::ofstream(QString(disk + "/x." + ext).toStdString()) << "old";
            for (const QString& name : {QString("x."), QString("y.")}) {
                const QString path = disk + "/" + name + ext;
                ASSERT_TRUE(LeaveFree(disk, free));
                EXPECT_EQ(window.dlg.SavePictureTo(path.toStdString()), fits ? "" : "No space left on device")
                    << path.toStdString();
                if (fits || name == "x.") {
                    EXPECT_TRUE(Contents(path) == (fits ? Contents(ref) : "old")) << path.toStdString();
                }
                if (name == "x." || fits)
                    left << name + ext;
            }
        }
        left.sort();
        EXPECT_EQ(QDir(disk).entryList(QDir::Files | QDir::Hidden, QDir::Name), left);
    }
    harness::ResetCameraState();
    unsetenv("TARVIK_SIM");
    umount(disk.toLocal8Bit().constData());
}

INSTANTIATE_TEST_SUITE_P(Table, SaveOnFullDisk, ::testing::ValuesIn(kSaveCases),
                         [](const auto& info) { return harness::CaseName(info.param.name); });

}  // namespace
