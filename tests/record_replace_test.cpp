// "Record…" onto an earlier recording's files: the window asks whether to
// replace them, naming each, and never points to a command-line option;
// Yes replaces them, No keeps them and records nothing.
#include "DialogHarness.h"
#include "TempDir.h"
#include "SmallDisk.h"
#include "WaitFor.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QLabel>

#include "platform/ui/ViewerWindow.h"

#include <sys/mount.h>

#include <fstream>
#include <sstream>

namespace {

using harness::Contents;

class RecordReplaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("TARVIK_CAMERAS");
        setenv("TARVIK_SIM", "width=64,height=48,formats=Mono8,rate=100", 1);
        harness::ResetCameraState();
    }
    void TearDown() override
    {
        harness::ResetCameraState();
        unsetenv("TARVIK_SIM");
    }
};

TEST_F(RecordReplaceTest, AsksNamingEveryFileReplaced)
{
    const struct {
        const char* name;
        std::vector<std::string> existing;  // of "", ".csv", ".settings": run.mkv and its sidecars
        bool yes;
        bool asked;
    } rows[] = {
        {"only the CSV, replaced", {".csv"}, true, true},
        {"only the CSV, kept", {".csv"}, false, true},
        {"only the settings, replaced", {".settings"}, true, true},
        {"the recording and both sidecars, replaced", {"", ".csv", ".settings"}, true, true},
        {"the recording and both sidecars, kept", {"", ".csv", ".settings"}, false, true},
        {"the recording alone, kept", {""}, false, true},
        {"nothing there: no question", {}, true, false},
    };
    const std::vector<std::string> all = {"", ".csv", ".settings"};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const std::string path = dir.path().toStdString() + "/run.mkv";
        for (const std::string& suffix : row.existing)
            std::ofstream(path + suffix) << "earlier " << suffix << "\n";
        std::vector<QString> boxes;  // the texts of every message box shown
        bool askedYesNo = false;
        {
            harness::ShownDialog w;
            ASSERT_NO_FATAL_FAILURE(w.Show());
            w.Click(IDC_INIT_GRAB_START);
            // A person's answers to the dialogs the window opens.
            QTimer person;
            QObject::connect(&person, &QTimer::timeout, [&] {
                QWidget* modal = QApplication::activeModalWidget();
                if (auto* files = qobject_cast<QFileDialog*>(modal)) {
                    // Typed as a person types it: selectFile leaves a name field that has
                    // the focus as it is.
                    if (auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                        name->setText(QString::fromStdString(path));
                    else
                        files->selectFile(QString::fromStdString(path));
                    static_cast<QDialog*>(files)->accept();  // as its Save button does
                } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                    boxes.push_back(box->text());
                    QAbstractButton* yes = box->button(QMessageBox::Yes);
                    QAbstractButton* no = box->button(QMessageBox::No);
                    askedYesNo = yes && no;
                    if (askedYesNo)
                        (row.yes ? yes : no)->click();
                    else
                        box->close();
                }
            });
            person.start(10);
            QTest::keyClick(w.widget, Qt::Key_R, Qt::ControlModifier);
            person.stop();
            const bool records = !row.asked || row.yes;
            EXPECT_EQ(w.dlg.Recording(), records);
            if (records) {
                ASSERT_SOON(w.widget->control(IDC_PICTURE)->toolTip().contains(QRegularExpression("recording: [1-9]")));
            }
        }  // closing the window ends the recording
        ASSERT_EQ(boxes.size(), row.asked ? 1u : 0u);
        if (row.asked) {
            EXPECT_TRUE(askedYesNo) << boxes[0].toStdString();
            const std::string asked = boxes[0].toStdString();
            EXPECT_EQ(asked.find("--"), std::string::npos) << "a window names a command-line option: " << asked;
            for (const std::string& suffix : all) {
                const bool there =
                    std::find(row.existing.begin(), row.existing.end(), suffix) != row.existing.end();
                EXPECT_EQ(asked.find("\"" + path + suffix + "\"\n") != std::string::npos, there)
                    << "run.mkv" << suffix << " in: " << asked;
            }
        }
        for (const std::string& suffix : all) {
            const bool there = std::find(row.existing.begin(), row.existing.end(), suffix) != row.existing.end();
            const std::string was = "earlier " + suffix + "\n";
            if (row.asked && !row.yes) {
                // Kept as they were, and nothing new beside them.
                EXPECT_EQ(QFile::exists(QString::fromStdString(path + suffix)), there) << suffix;
                if (there)
                    EXPECT_EQ(Contents(path + suffix), was) << suffix;
            } else {
                EXPECT_TRUE(QFile::exists(QString::fromStdString(path + suffix))) << suffix;
                EXPECT_NE(Contents(path + suffix), was) << suffix << " was not replaced";
            }
        }
        harness::ResetCameraState();
    }
}

// The same question asked with the viewer open and Ctrl+R pressed in it;
// then a recording onto a nearly full disk: the viewer's status line and
// the tooltip say the write failed, and a file already there is kept.
TEST_F(RecordReplaceTest, FromTheViewer)
{
    const struct {
        const char* name;
        const char* file;                   // "disk/": on a small file system
        std::vector<std::string> existing;  // of "", ".csv", ".settings"
        bool yes;
        const char* said;  // the status line's and tooltip's end, a pattern; null: recording
    } rows[] = {
        {"only the CSV, replaced", "run.mkv", {".csv"}, true, nullptr},
        {"only the CSV, kept", "run.mkv", {".csv"}, false, ""},
        {"all three, replaced", "run.mkv", {"", ".csv", ".settings"}, true, nullptr},
        {"all three, kept", "run.mkv", {"", ".csv", ".settings"}, false, ""},
        {"nearly full disk", "disk/run.tiff", {".csv"}, true,
         "cannot write \"[^\"]*/disk/run.tiff[^\"]*\": No space left on device; recording stopped, \\d+ frames kept$"},
    };
    setenv("TARVIK_SIM", "width=256,height=256,formats=Mono8,rate=100", 1);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const std::string file = row.file;
        const bool small = file.rfind("disk/", 0) == 0;
        struct Unmount {
            std::string path;
            ~Unmount()
            {
                if (!path.empty())
                    umount(path.c_str());
            }
        } unmount;
        if (small) {
            QDir(dir.path()).mkdir("disk");
            if (!harness::MountSmallDisk(dir.path().toStdString() + "/disk", 256 * 1024)) {
                std::printf("skipped %s: mounting is not allowed here\n", row.name);
                continue;
            }
            unmount.path = dir.path().toStdString() + "/disk";
        }
        const std::string path = dir.path().toStdString() + "/" + file;
        for (const std::string& suffix : row.existing)
            std::ofstream(path + suffix) << "earlier " << suffix << "\n";
        const std::string other = path + ".notes";  // beside them, never to be touched
        std::ofstream(other) << "mine\n";
        {
            harness::ShownDialog w;
            ASSERT_NO_FATAL_FAILURE(w.Show());
            w.Click(IDC_INIT_GRAB_START);
            w.dlg.OpenViewer();
            ui::ViewerWindow* v = w.dlg.ViewerWindow();
            ASSERT_TRUE(v && QTest::qWaitForWindowExposed(v));
            v->activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(v));
            QTimer person;
            int asked = 0;
            QObject::connect(&person, &QTimer::timeout, [&] {
                QWidget* modal = QApplication::activeModalWidget();
                if (auto* files = qobject_cast<QFileDialog*>(modal)) {
                    // Typed as a person types it: selectFile leaves a name field that has
                    // the focus as it is.
                    if (auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                        name->setText(QString::fromStdString(path));
                    else
                        files->selectFile(QString::fromStdString(path));
                    static_cast<QDialog*>(files)->accept();
                } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                    ++asked;
                    QAbstractButton* answer = box->button(row.yes ? QMessageBox::Yes : QMessageBox::No);
                    if (answer)
                        answer->click();
                    else
                        box->close();
                }
            });
            person.start(10);
            QTest::keyClick(v, Qt::Key_R, Qt::ControlModifier);
            ASSERT_SOON(asked == 1);
            person.stop();
            QLabel* status = v->findChild<QLabel*>("status");
            QWidget* picture = w.widget->control(IDC_PICTURE);
            if (!row.said) {
                ASSERT_SOON(status->text().contains(QRegularExpression("REC run.mkv .*[1-9]")))
                    << status->text().toStdString();
            } else if (*row.said) {
                const QRegularExpression said(row.said);
                ASSERT_SOON_WITHIN(!w.dlg.Recording(), 10000);
                ASSERT_SOON(said.match(status->text()).hasMatch()) << status->text().toStdString();
                ASSERT_SOON(said.match(picture->toolTip()).hasMatch()) << picture->toolTip().toStdString();
            } else {
                EXPECT_FALSE(w.dlg.Recording());
            }
        }
        EXPECT_EQ(Contents(other), "mine\n");
        for (const std::string& suffix : row.existing) {
            if (!row.yes)
                EXPECT_EQ(Contents(path + suffix), "earlier " + suffix + "\n") << suffix;
            else
                EXPECT_NE(Contents(path + suffix), "earlier " + suffix + "\n") << suffix << " was not replaced";
        }
        harness::ResetCameraState();
    }
}

// What the question names: the files an overwrite replaces, those that exist.
TEST(RecordReplaced, TheFilesThatExist)
{
    QTemporaryDir dir;
    const std::string d = dir.path().toStdString();
    auto make = [](const std::string& path) { std::ofstream(path) << "x"; };
    QDir().mkpath(QString::fromStdString(d + "/out"));
    for (const char* name : {"frame-000002.tiff", "frame-000000.tiff", "frame-000001.png", "notes.txt",
                             "frames.csv", "camera.settings"})
        make(d + "/out/" + name);
    make(d + "/only-csv.mkv.csv");
    make(d + "/all.tif"), make(d + "/all.tif.csv"), make(d + "/all.tif.settings");
    const struct {
        const char* path;
        std::vector<std::string> replaced;
    } rows[] = {
        {"out/", {"out/frame-000000.tiff", "out/frame-000001.png", "out/frame-000002.tiff", "out/frames.csv",
                  "out/camera.settings"}},
        {"only-csv.mkv", {"only-csv.mkv.csv"}},
        {"all.tif", {"all.tif", "all.tif.csv", "all.tif.settings"}},
        {"nothing.mkv", {}},
        {"no-extension", {}},
    };
    for (const auto& row : rows) {
        std::vector<std::string> expected;
        for (const std::string& name : row.replaced)
            expected.push_back(d + "/" + name);
        EXPECT_EQ(Recorder::Replaced(d + "/" + row.path), expected) << row.path;
    }
}

}  // namespace
