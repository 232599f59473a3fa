// The settings window over the real dialog and the simulated camera: what
// it lists, a change the camera takes and one it refuses, a new picture
// shape, a camera whose size cannot be shown put right, changes during live
// view and what live view keeps to itself, and the window closed with the
// camera, sending what it still held.
#include "DialogHarness.h"
#include "WaitFor.h"
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTreeWidget>

#include <climits>
#include <cmath>
#include <memory>

namespace {

class SettingsWindowTest : public ::testing::Test, public harness::ShownDialog {
protected:
    void SetUp() override
    {
        unsetenv("TARVIK_CAMERAS");
        harness::ResetCameraState();
    }
    void TearDown() override
    {
        if (widget)
            Click(IDC_GRAB_STOP_RELEASE);  // a stream still running stops before the library goes
        harness::ResetCameraState();
        unsetenv("TARVIK_SIM");
    }
    // The dialog shown, the camera open, the settings window shown.
    void OpenSettings(const char* sim)
    {
        setenv("TARVIK_SIM", sim, 1);
        ASSERT_NO_FATAL_FAILURE(Show());
        Click(IDC_INIT_GRAB_START);
        ASSERT_NE(g_hCamera, 0u);
        QTest::keyClick(widget, Qt::Key_E, Qt::ControlModifier);
        ASSERT_TRUE(dlg.SettingsWindow());
        window = dlg.SettingsWindow()->widget();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    }
    template <class Editor>
    Editor* EditorOf(const char* name)
    {
        return window->findChild<Editor*>(name);
    }
    static std::string Value(const char* name)
    {
        const char* text = nullptr;
        return CamFeatureValueGet(g_hCamera, name, &text) == CAM_OK && text ? text : "";
    }
    // The display image's mean level.
    static double Brightness()
    {
        double sum = 0;
        for (int y = 0; y < g_image.GetHeight(); ++y)
            for (int x = 0; x < g_image.GetWidth() * 3; ++x)
                sum += g_image.GetBits()[ptrdiff_t(y) * g_image.GetPitch() + x];
        return sum / (3.0 * g_image.GetWidth() * g_image.GetHeight());
    }
    // The names of the rows not hidden.
    QStringList Listed() const
    {
        QStringList names;
        for (QTreeWidgetItemIterator it(window->findChild<QTreeWidget*>()); *it; ++it)
            if (!(*it)->isHidden() && (*it)->childCount() == 0)
                names << (*it)->text(0);
        return names;
    }

    QWidget* window = nullptr;
};

// Each feature gets the editor its type needs, greyed where it cannot be
// written; the filter and the level choose what is listed.
TEST_F(SettingsWindowTest, ListsAndFilters)
{
    ASSERT_NO_FATAL_FAILURE(OpenSettings("width=64,height=48"));
    EXPECT_TRUE(EditorOf<QDoubleSpinBox>("ExposureTime")->isEnabled());
    EXPECT_EQ(EditorOf<QDoubleSpinBox>("ExposureTime")->maximum(), 1000000);
    EXPECT_EQ(EditorOf<QSpinBox>("Width")->singleStep(), 4);
    EXPECT_EQ(EditorOf<QComboBox>("ExposureAuto")->count(), 3);
    EXPECT_TRUE(EditorOf<QCheckBox>("ReverseY")->isEnabled());
    EXPECT_FALSE(EditorOf<QLineEdit>("DeviceModelName")->isEnabled()) << "read-only values are greyed";
    EXPECT_FALSE(EditorOf<QDoubleSpinBox>("AcquisitionFrameRate")->isEnabled()) << "its enable is off";

    const struct {
        const char* filter;
        int level;  // 0 beginner, 1 expert, 2 guru
        QStringList listed;
    } cases[] = {
        {"exposure", 0, {"ExposureAuto", "ExposureTime"}},
        {"SENSOR", 0, {}},
        {"SENSOR", 1, {"SensorWidth", "SensorHeight"}},
        {"Pattern", 1, {}},
        {"Pattern", 2, {"TestPattern"}},
    };
    for (const auto& c : cases) {
        window->findChild<QLineEdit*>("filter")->setText(c.filter);
        window->findChild<QComboBox*>("level")->setCurrentIndex(c.level);
        EXPECT_EQ(Listed(), c.listed) << c.filter << " at level " << c.level;
    }
}

// A value the camera takes changes the next frame; one it refuses is
// reported in the window and on stderr, and the editor shows the camera's
// value again; a new width rebuilds the display image at that width.
TEST_F(SettingsWindowTest, TakenRefusedAndNewShape)
{
    ASSERT_NO_FATAL_FAILURE(OpenSettings("width=64,height=48"));
    Click(IDC_GRAB_ONCE);
    const double bright = Brightness();

    EditorOf<QDoubleSpinBox>("ExposureTime")->setValue(2500);
    ASSERT_SOON(Value("ExposureTime") == std::string("2500"));
    Click(IDC_GRAB_ONCE);
    EXPECT_LT(Brightness(), bright * 0.5);
    EXPECT_EQ(dlg.SettingsWindow()->Message(), "");

    ::testing::internal::CaptureStderr();
    EditorOf<QSpinBox>("Width")->setValue(62);
    ASSERT_SOON(!dlg.SettingsWindow()->Message().empty());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "tarvik: " + dlg.SettingsWindow()->Message() + "\n");
    EXPECT_NE(dlg.SettingsWindow()->Message().find("Width"), std::string::npos);
    EXPECT_EQ(EditorOf<QSpinBox>("Width")->value(), 64) << "the editor keeps the camera's value";
    EXPECT_EQ(g_nWidth, 64);

    EditorOf<QSpinBox>("Width")->setValue(32);
    ASSERT_SOON(g_nWidth == int64_t(32));
    EXPECT_EQ(g_image.GetWidth(), 32);
    EXPECT_FALSE(g_lastFrame.valid) << "the frame of the old shape is gone";
    EXPECT_EQ(dlg.SettingsWindow()->Message(), "");
    Click(IDC_GRAB_ONCE);
    EXPECT_TRUE(g_lastFrame.valid) << "a frame of the new width is shown";
    EXPECT_EQ(EditorOf<QSpinBox>("OffsetX")->maximum(), 32) << "ranges are read again";
}

// A camera whose size cannot be shown: opening says so but leaves it open,
// and the settings window is where its size is put right; the picture is
// rebuilt then and frames are shown.
TEST_F(SettingsWindowTest, UnshowableSizePutRight)
{
    ::testing::internal::CaptureStderr();
    ASSERT_NO_FATAL_FAILURE(OpenSettings("width=20000,height=20000"));
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("which cannot be shown"), std::string::npos);
    EXPECT_TRUE(g_image.IsNull());
    EditorOf<QSpinBox>("Width")->setValue(640);
    ASSERT_SOON(g_nWidth == int64_t(640));
    EditorOf<QSpinBox>("Height")->setValue(480);
    ASSERT_SOON(g_nHeight == int64_t(480));
    EXPECT_EQ(g_image.GetWidth(), 640);
    EXPECT_EQ(g_image.GetHeight(), 480);
    Click(IDC_GRAB_ONCE);
    EXPECT_TRUE(g_lastFrame.valid);
}

// During live view a change reaches the picture at once and the picture's
// shape cannot be changed; releasing the camera closes the window.
TEST_F(SettingsWindowTest, DuringLiveViewAndRelease)
{
    ASSERT_NO_FATAL_FAILURE(OpenSettings("width=64,height=48,rate=100"));
    // The settings window has the keyboard: the command is triggered as its menu entry would be.
    widget->commands()[ID_PICTURE_LIVE]->trigger();
    ASSERT_TRUE(dlg.IsCommandChecked(ID_PICTURE_LIVE));
    ASSERT_SOON(g_lastFrame.valid);
    const double bright = Brightness();
    ASSERT_SOON(!EditorOf<QSpinBox>("Width")->isEnabled());

    EditorOf<QDoubleSpinBox>("ExposureTime")->setValue(2500);
    ASSERT_SOON(Brightness() < bright * 0.5);

    EXPECT_TRUE(dlg.IsCommandChecked(ID_PICTURE_LIVE));
    widget->commands()[ID_PICTURE_LIVE]->trigger();
    ASSERT_SOON(EditorOf<QSpinBox>("Width")->isEnabled());
    Click(IDC_GRAB_STOP_RELEASE);
    EXPECT_EQ(dlg.SettingsWindow(), nullptr);
    EXPECT_FALSE(dlg.IsCommandEnabled(ID_CAMERA_SETTINGS));
}

// While live view streams, what would stop acquisition under it is refused
// with the reason in the window and on stderr, and frames go on coming; the
// mode it has already and, at rest, another one are taken.
TEST_F(SettingsWindowTest, AcquisitionOwnedByLiveView)
{
    ASSERT_NO_FATAL_FAILURE(OpenSettings("width=64,height=48,rate=100"));
    const std::string owned = ": live view owns acquisition; end live view first (Ctrl+L)";
    const struct {
        bool live;
        const char* feature;
        const char* value;  // nullptr: a command, run
        std::string refusal;
        const char* mode;  // AcquisitionMode afterwards
    } cases[] = {
        {true, "AcquisitionStop", nullptr, "cannot run AcquisitionStop" + owned, "Continuous"},
        {true, "AcquisitionStart", nullptr, "cannot run AcquisitionStart" + owned, "Continuous"},
        {true, "AcquisitionMode", "SingleFrame", "cannot set AcquisitionMode to SingleFrame" + owned, "Continuous"},
        {true, "AcquisitionMode", "Continuous", "", "Continuous"},  // after a refusal: the message goes
        {false, "AcquisitionMode", "SingleFrame", "", "SingleFrame"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.feature) + "=" + (c.value ? c.value : "") + (c.live ? " live" : " at rest"));
        if (dlg.IsCommandChecked(ID_PICTURE_LIVE) != c.live)
            widget->commands()[ID_PICTURE_LIVE]->trigger();
        ASSERT_EQ(dlg.IsCommandChecked(ID_PICTURE_LIVE), c.live);
        ::testing::internal::CaptureStderr();
        if (c.value) {
            auto* combo = EditorOf<QComboBox>(c.feature);
            emit combo->activated(combo->findText(c.value));
        } else {
            EditorOf<QPushButton>(c.feature)->click();
        }
        const bool done = QTest::qWaitFor([&] {
            return dlg.SettingsWindow()->Message() == c.refusal && Value("AcquisitionMode") == c.mode;
        });
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.refusal.empty() ? "" : "tarvik: " + c.refusal + "\n");
        ASSERT_TRUE(done) << dlg.SettingsWindow()->Message();
        if (c.live) {
            const uint64_t shown = g_lastFrame.frameId;
            ASSERT_SOON(g_lastFrame.frameId > shown + 5);
            EXPECT_TRUE(dlg.IsCommandChecked(ID_PICTURE_LIVE));
        }
    }
    ASSERT_SOON(EditorOf<QSpinBox>("Width")->isEnabled()) << "size and format are free again";
}

// A change still in the window when the camera goes (released, opened
// again, the dialog closed) or the window is closed is sent first: a value
// typed into an editor not left, or one waiting for its turn; a refusal of
// it is on stderr.
TEST_F(SettingsWindowTest, PendingChangeSentBeforeCameraGoes)
{
    enum class Goes { Release, Open, Close, Window };
    const struct {
        Goes goes;
        const char* feature;
        const char* value;
        bool typed;         // else made, not yet sent
        const char* sent;   // in the trace or on stderr
        const char* after;  // a call the camera's going makes after it, if any
    } cases[] = {
        {Goes::Release, "ExposureTime", "2500", true, "\"ExposureTime\", \"2500\") -> 0", "CamCameraClose"},
        {Goes::Open, "ExposureTime", "2500", false, "\"ExposureTime\", \"2500\") -> 0", "CamCameraOpen"},
        {Goes::Close, "Gain", "6", true, "\"Gain\", \"6\") -> 0", nullptr},
        {Goes::Window, "Gain", "6", true, "\"Gain\", \"6\") -> 0", nullptr},
        {Goes::Release, "Width", "62", true, "tarvik: cannot set Width: ", "CamCameraClose"},
    };
    for (const auto& c : cases) {
        const char* goes[] = {"release", "opening", "closing", "the window closed"};
        SCOPED_TRACE(std::string(c.feature) + "=" + c.value + " before " + goes[int(c.goes)]);
        harness::ResetCameraState();
        setenv("TARVIK_SIM", "width=64,height=48", 1);
        auto shown = std::make_unique<harness::ShownDialog>();
        ASSERT_NO_FATAL_FAILURE(shown->Show());
        shown->Click(IDC_INIT_GRAB_START);
        QTest::keyClick(shown->widget, Qt::Key_E, Qt::ControlModifier);
        ASSERT_TRUE(shown->dlg.SettingsWindow());
        auto* box = shown->dlg.SettingsWindow()->widget()->findChild<QAbstractSpinBox*>(c.feature);
        ASSERT_TRUE(box);
        if (c.typed) {
            box->selectAll();
            QTest::keyClicks(box, c.value);
            ASSERT_NE(Value(c.feature), c.value) << "not sent while the editor is not left";
        } else if (auto* spin = qobject_cast<QDoubleSpinBox*>(box)) {
            spin->setValue(std::stod(c.value));
        }
        setenv("TARVIK_CAMERA_TRACE", "1", 1);
        ::testing::internal::CaptureStderr();
        switch (c.goes) {
        case Goes::Release: shown->Click(IDC_GRAB_STOP_RELEASE); break;
        case Goes::Open: shown->Click(IDC_INIT_GRAB_START); break;
        case Goes::Close: shown.reset(); break;
        case Goes::Window: shown->dlg.SettingsWindow()->Close(); break;
        }
        const std::string out = ::testing::internal::GetCapturedStderr();
        unsetenv("TARVIK_CAMERA_TRACE");
        const size_t sent = out.find(c.sent);
        EXPECT_NE(sent, std::string::npos) << out;
        if (c.after) {
            EXPECT_LT(sent, out.find(c.after)) << out;
        }
        if (shown)
            shown->Click(IDC_GRAB_STOP_RELEASE);
    }
}

// Whatever a camera describes, the window shows it without harm: ranges a
// spin box cannot hold, backwards or stepless ones, endless floats, a value
// that is not among the entries, a jump in depth; edits are passed on, and
// a tree that changes is built again.
TEST_F(SettingsWindowTest, HostileDescriptions)
{
    struct Source : ui::SettingsSource {
        std::vector<ui::SettingItem> items;
        std::vector<std::pair<std::string, std::string>> sets;
        std::vector<ui::SettingItem> Items() override { return items; }
        std::string Set(const std::string& name, const std::string& value) override
        {
            sets.emplace_back(name, value);
            return "refused";
        }
        std::string Save(const std::string&) override { return {}; }
        std::string Load(const std::string&) override { return {}; }
    } source;
    using K = ui::SettingKind;
    auto item = [](const char* name, int depth, K kind, const char* value) {
        ui::SettingItem s;
        s.name = name, s.depth = depth, s.kind = kind, s.value = value, s.writable = true;
        return s;
    };
    source.items = {item("Top", 0, K::Category, ""),   item("Wide", 1, K::Integer, "5"),
                    item("Backwards", 1, K::Integer, "3"), item("Stepless", 1, K::Integer, "3"),
                    item("Endless", 1, K::Float, "nan"),   item("Gone", 1, K::Choice, "Old"),
                    item("Deep", 7, K::Switch, "maybe"),   item("Orphan", 0, K::Action, "")};
    source.items[1].minimum = INT64_MIN, source.items[1].maximum = INT64_MAX;
    source.items[2].minimum = 10, source.items[2].maximum = 0;
    source.items[3].maximum = 100, source.items[3].increment = 0;
    source.items[4].low = -INFINITY, source.items[4].high = INFINITY, source.items[4].step = NAN;
    source.items[5].entries = {"", "New"};
    ASSERT_NO_FATAL_FAILURE(Show());
    ui::SettingsWindow settings(dlg, source, "hostile");
    settings.Show();
    window = settings.widget();
    for (const char* typed : {"Wide", "Backwards", "Stepless"})
        EXPECT_TRUE(EditorOf<QLineEdit>(typed)) << typed << ": a spin box cannot hold it";
    ASSERT_TRUE(EditorOf<QDoubleSpinBox>("Endless"));
    EXPECT_EQ(EditorOf<QComboBox>("Gone")->currentText(), "Old") << "the camera's value, though not an entry";
    EXPECT_TRUE(EditorOf<QCheckBox>("Deep"));

    QLineEdit* wide = EditorOf<QLineEdit>("Wide");
    wide->setText("9223372036854775807");
    wide->setModified(true);
    emit wide->editingFinished();
    ASSERT_SOON(!source.sets.empty());
    EXPECT_EQ(source.sets.back().first, "Wide");
    EXPECT_EQ(source.sets.back().second, "9223372036854775807");
    ASSERT_SOON(settings.Message() == "refused");
    EXPECT_EQ(wide->text(), "5") << "the source's value again";

    // Values read again while a value is being typed leave it to be sent.
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    wide->setFocus();
    ASSERT_SOON(wide->hasFocus());
    wide->setText("7");
    wide->setModified(true);
    settings.Refresh();
    emit wide->editingFinished();
    ASSERT_SOON(source.sets.size() == 2);
    EXPECT_EQ(source.sets.back().second, "7");

    source.items.resize(2);
    settings.Refresh();
    EXPECT_EQ(Listed(), QStringList({"Wide"}));
}

}  // namespace
