// "Record…" onto an earlier recording's files: the window asks whether to
// replace them, naming each, and never points to a command-line option;
// Yes replaces them, No keeps them and records nothing.
#include "DialogHarness.h"
#include "WaitFor.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <fstream>
#include <sstream>

namespace {

std::string Contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

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
