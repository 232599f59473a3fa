// Soak: open, many grabs, release, over and over through the dialog on the
// simulated camera; live view started and stopped over and over. Memory after the last cycle must stay within a small
// bound of the first; under the sanitizers any leak fails the run as well.
// Longer runs: soak_test --cycles=1000 --grabs=10
#include "DialogHarness.h"
#include "WaitFor.h"

#include <QApplication>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

int g_cycles = 100;
int g_grabs = 100;

long ResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(Soak, OpenGrabRelease)
{
    unsetenv("TARVIK_CAMERAS");
    setenv("TARVIK_SIM", "width=640,height=480", 1);
    harness::ShownDialog shown;
    ASSERT_NO_FATAL_FAILURE(shown.Show());
    auto click = [&](int id) { shown.Click(id); };

    long first = 0;
    for (int cycle = 0; cycle < g_cycles; ++cycle) {
        click(IDC_INIT_GRAB_START);
        ASSERT_NE(g_hCamera, 0u) << "cycle " << cycle;
        for (int grab = 0; grab < g_grabs; ++grab) {
            click(IDC_GRAB_ONCE);
            shown.widget->repaint();
        }
        click(IDC_GRAB_STOP_RELEASE);
        ASSERT_EQ(g_hCamera, 0u);
        if (cycle == 0)
            first = ResidentKiB();
    }
    const long last = ResidentKiB();
    std::printf("soak: %d cycles x %d grabs; resident memory after the first cycle %ld KiB, "
                "after the last %ld KiB\n", g_cycles, g_grabs, first, last);
    EXPECT_LT(last - first, 8 * 1024) << "resident memory grew by more than 8 MiB";
    unsetenv("TARVIK_SIM");
}

// Live view started and stopped over and over, with frames shown between:
// every stream lets go of its thread and frames.
TEST(Soak, LiveStartStop)
{
    unsetenv("TARVIK_CAMERAS");
    setenv("TARVIK_SIM", "width=640,height=480,rate=500", 1);
    harness::ShownDialog shown;
    ASSERT_NO_FATAL_FAILURE(shown.Show());
    shown.Click(IDC_INIT_GRAB_START);
    long first = 0;
    for (int cycle = 0; cycle < g_cycles; ++cycle) {
        QTest::keyClick(shown.widget, Qt::Key_L, Qt::ControlModifier);
        const uint64_t before = g_lastFrame.valid ? g_lastFrame.frameId : 0;
        ASSERT_SOON_WITHIN(g_lastFrame.valid && g_lastFrame.frameId > before + 2, 5000);
        QTest::keyClick(shown.widget, Qt::Key_L, Qt::ControlModifier);
        ASSERT_FALSE(shown.dlg.IsCommandChecked(ID_PICTURE_LIVE));
        if (cycle == 0)
            first = ResidentKiB();
    }
    shown.Click(IDC_GRAB_STOP_RELEASE);
    const long last = ResidentKiB();
    std::printf("soak: %d live view starts and stops; resident memory after the first %ld KiB, "
                "after the last %ld KiB\n", g_cycles, first, last);
    EXPECT_LT(last - first, 8 * 1024) << "resident memory grew by more than 8 MiB";
    unsetenv("TARVIK_SIM");
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (!std::strncmp(argv[i], "--cycles=", 9))
            g_cycles = std::atoi(argv[i] + 9);
        else if (!std::strncmp(argv[i], "--grabs=", 8))
            g_grabs = std::atoi(argv[i] + 8);
    }
    return RUN_ALL_TESTS();
}
