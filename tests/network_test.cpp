// A GigE camera's network: --set-ip's text refused before anything is sent,
// the subnet findings as a table, and the whole program against Aravis's
// fake GigE camera in network namespaces this test makes itself (never on
// the machine's own network; skipped where namespaces cannot be made).
#include "RunTarvik.h"
#include "WaitFor.h"
#include "app/network/HostNetwork.h"
#include "platform/camera/cam.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <string>

namespace {

// ---- --set-ip's text -------------------------------------------------------

TEST(SetIpText, RefusedWithWhatIsWrong)
{
    struct Row {
        const char* text;
        const char* why;  // empty: accepted
    } rows[] = {
        {"192.168.10.20/24", ""},
        {"192.168.10.20/24/192.168.10.1", ""},
        {"10.1.2.3/8", ""},
        {"192.168.10.20", "no prefix length"},
        {"192.168.10.20/0", "out of range"},
        {"192.168.10.20/31", "out of range"},
        {"192.168.10.20/33", "out of range"},
        {"192.168.10.20/-1", "not a number"},
        {"192.168.10.20/", "not a number"},
        {"192.168.10.20/24x", "not a number"},
        {"192.168.10.255/24", "broadcast address"},
        {"192.168.10.0/24", "network address"},
        {"0.0.0.0/24", "zero address"},
        {"224.0.0.5/24", "multicast"},
        {"255.255.255.255/24", "broadcast or reserved"},
        {"127.0.0.5/8", "loopback"},
        {"192.168.10.20/24/192.168.11.1", "outside the subnet"},
        {"192.168.10.20/24/192.168.10.255", "broadcast address"},
        {"192.168.10.20/24/192.168.10.20", "own address"},
        {"192.168.10.20/24/gateway", "not an IPv4 address"},
        {"camera/24", "not an IPv4 address"},
        {"192.168.010.20/24", "not an IPv4 address"},
        {"192.168.10.256/24", "not an IPv4 address"},
        {"192.168.10/24", "not an IPv4 address"},
        {"192.168.10.20.1/24", "not an IPv4 address"},
        {"", "no prefix length"},
    };
    for (const Row& row : rows) {
        std::string error;
        const std::optional<IpSetting> s = ParseIpSetting(row.text, &error);
        if (!*row.why) {
            EXPECT_TRUE(s) << row.text << ": " << error;
            continue;
        }
        EXPECT_FALSE(s) << row.text;
        EXPECT_NE(error.find(row.why), std::string::npos) << row.text << ": " << error;
        EXPECT_NE(error.find("it takes a unicast address"), std::string::npos) << error;
    }
}

// ---- what is wrong between a camera and its interface -----------------------

TEST(LinkFindings, EachProblemSaid)
{
    HostInterface eth;
    eth.name = "eth1";
    eth.address = *ParseIpv4("10.99.0.1");
    eth.mask = PrefixMask(24);
    eth.otherAddress = true;
    eth.mtu = 1500;
    HostInterface onlyLinkLocal = eth;
    onlyLinkLocal.address = *ParseIpv4("169.254.0.1");
    onlyLinkLocal.mask = PrefixMask(16);
    onlyLinkLocal.otherAddress = false;
    HostInterface twoSubnets = eth;
    twoSubnets.otherSubnets = {{*ParseIpv4("10.98.0.1"), PrefixMask(24)}};
    struct Row {
        const char* camera;
        HostInterface host;
        int64_t packetSize;
        std::vector<NetworkWarning::Kind> kinds;
    } rows[] = {
        {"10.99.0.2", eth, 1400, {}},
        {"10.99.0.2", eth, 0, {}},
        {"10.98.0.2", eth, 1400, {NetworkWarning::OutsideSubnet}},
        {"169.254.3.4", eth, 1400, {NetworkWarning::OutsideSubnet, NetworkWarning::LinkLocal}},
        {"169.254.3.4", onlyLinkLocal, 1400, {}},
        {"10.99.0.2", eth, 8192, {NetworkWarning::SmallMtu}},
        {"10.99.0.2", eth, 1500, {}},
        {"10.99.0.2", HostInterface{}, 8192, {}},  // the interface is not known: nothing guessed
        {"10.98.0.2", twoSubnets, 1400, {}},       // in the subnet of the interface's other address
        {"10.97.0.2", twoSubnets, 1400, {NetworkWarning::OutsideSubnet}},
    };
    for (const Row& row : rows) {
        std::vector<NetworkWarning::Kind> kinds;
        for (const NetworkWarning& w : NetworkWarnings(row.camera, row.host, row.packetSize))
            kinds.push_back(w.kind);
        EXPECT_EQ(kinds, row.kinds) << row.camera << " packets " << row.packetSize;
    }
}

// ---- the camera library's calls on a camera without IP settings -----------

TEST(NetworkCalls, SimulatedCameraAnswersNotGige)
{
    qunsetenv("TARVIK_CAMERAS");
    ASSERT_EQ(CamStartup(), CAM_OK);
    ASSERT_EQ(CamFeatureCommandRun(CAM_SYSTEM_HANDLE, "GeVDiscoveryAllOnce"), CAM_OK);
    CamCameraInfo info{};
    uint32_t n = 0;
    ASSERT_EQ(CamCameraList(&info, 1, &n, sizeof info), CAM_OK);
    const char* text = nullptr;
    EXPECT_EQ(CamCameraListedDetailGet(info.cameraId, "address", &text), CAM_ERR_NOT_GIGE);
    EXPECT_EQ(CamCameraListedDetailGet("sim-99", "address", &text), CAM_ERR_NOT_FOUND);
    EXPECT_EQ(CamCameraListedDetailGet(info.cameraId, "address", nullptr), CAM_ERR_BAD_PARAMETER);
    CamHandle h = 0;
    ASSERT_EQ(CamCameraOpen(info.cameraId, CAM_ACCESS_CONTROL, &h), CAM_OK);
    CamNetworkInfo net{};
    struct Row {
        const char* what;
        CamError got, expected;
    } rows[] = {
        {"read", CamNetworkGet(h, &net, sizeof net), CAM_ERR_NOT_GIGE},
        {"read, short record", CamNetworkGet(h, &net, sizeof net - 1), CAM_ERR_BAD_SIZE},
        {"read, no record", CamNetworkGet(h, nullptr, sizeof net), CAM_ERR_BAD_PARAMETER},
        {"persistent", CamNetworkPersistentSet(h, "10.0.0.5", "255.255.255.0", nullptr), CAM_ERR_NOT_GIGE},
        {"persistent, bad text", CamNetworkPersistentSet(h, "10.0.0.05", "255.255.255.0", ""), CAM_ERR_INVALID_VALUE},
        {"persistent, bad gateway", CamNetworkPersistentSet(h, "10.0.0.5", "255.255.255.0", "x"),
         CAM_ERR_INVALID_VALUE},
        {"mode", CamNetworkModeSet(h, CAM_IP_MODE_DHCP), CAM_ERR_NOT_GIGE},
        {"mode out of range", CamNetworkModeSet(h, 9), CAM_ERR_BAD_PARAMETER},
        {"bad handle", CamNetworkGet(h + 100, &net, sizeof net), CAM_ERR_BAD_HANDLE},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.got, row.expected) << row.what;
    EXPECT_STREQ(CamErrorName(CAM_ERR_NOT_GIGE), "CAM_ERR_NOT_GIGE");
    CamShutdown();
}

// ---- the program, without a GigE camera ------------------------------------

TEST(NetworkCommandLine, RefusedBeforeAnyCameraIsAsked)
{
    struct Row {
        QStringList args;
        int status;
        const char* says;
    } rows[] = {
        {{"--set-ip", "10.0.0.255/24"}, 64, "broadcast address"},
        {{"--set-ip", "10.0.0.5/33"}, 64, "out of range"},
        {{"--ip-mode", "static"}, 64, "dhcp, link-local or persistent"},
        {{"--set-ip", "10.0.0.5/24", "--ip-mode", "dhcp"}, 64, "persistent mode"},
        {{"--network", "--grab", "x.png"}, 64, "does not go with --network"},
        {{"--list", "--network"}, 64, "--list goes with no other option"},
        {{"--network"}, 9, "not a GigE Vision camera"},
        {{"--set-ip", "10.0.0.5/24"}, 9, "not a GigE Vision camera"},
    };
    for (const Row& row : rows) {
        // A camera source that the simulated one would answer, were it asked.
        const TarvikRun r = RunTarvik(row.args, "count=1");
        EXPECT_EQ(r.status, row.status) << row.args.join(' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(row.says)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
    }
}

TEST(NetworkCommandLine, SimulatedListUnchanged)
{
    const TarvikRun r = RunTarvik({"--list"}, "count=2");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "sim-0\tSimulated camera 0\tsim\nsim-1\tSimulated camera 1\tsim\n");
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
}

// ---- the fake GigE camera on another subnet, in namespaces of our own -------

bool Ip(const QStringList& args)
{
    QProcess p;
    p.start("ip", args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Two namespaces joined by a veth pair: the host side 10.99.0.1/24, the
// camera 10.98.0.2/24, each with a route to the other so that the camera is
// reached though outside the host's subnet. Removed however the test ends.
class FakeCameraOnAnotherSubnet : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "network namespaces need root; the test sends nothing outside them";
        static int made = 0;
        const QString tag = QString::number(getpid()) + "x" + QString::number(++made);
        m_host = "tarvik-nh" + tag;
        m_camera = "tarvik-nc" + tag;
        m_hostLink = "tnh" + tag;
        const QString hostLink = m_hostLink, cameraLink = "tnc" + tag;
        if (!Ip({"netns", "add", m_host}) || !Ip({"netns", "add", m_camera}))
            GTEST_SKIP() << "network namespaces cannot be made here";
        const QStringList steps[] = {
            {"link", "add", hostLink, "netns", m_host, "type", "veth", "peer", "name", cameraLink, "netns", m_camera},
            {"-n", m_host, "addr", "add", "10.99.0.1/24", "dev", hostLink},
            {"-n", m_host, "link", "set", hostLink, "up", "mtu", "1000"},
            {"-n", m_host, "link", "set", "lo", "up"},
            {"-n", m_host, "route", "add", "10.98.0.0/24", "dev", hostLink},
            {"-n", m_camera, "addr", "add", "10.98.0.2/24", "dev", cameraLink},
            {"-n", m_camera, "link", "set", cameraLink, "up", "mtu", "1000"},
            {"-n", m_camera, "link", "set", "lo", "up"},
            {"-n", m_camera, "route", "add", "10.99.0.0/24", "dev", cameraLink},
        };
        for (const QStringList& step : steps)
            ASSERT_TRUE(Ip(step)) << step.join(' ').toStdString();
        m_fake.start("ip", {"netns", "exec", m_camera, "arv-fake-gv-camera-0.8", "-i", "10.98.0.2"});
        ASSERT_TRUE(m_fake.waitForStarted());
        // Its control port bound on 10.98.0.2 (0200620A:0F74) inside its namespace.
        ASSERT_SOON(Udp().contains("0200620A:0F74"));
    }

    void TearDown() override
    {
        if (m_fake.state() != QProcess::NotRunning) {
            m_fake.kill();
            m_fake.waitForFinished(5000);
        }
        for (const QString& ns : {m_host, m_camera})
            if (!ns.isEmpty())
                Ip({"netns", "del", ns});
    }

    QByteArray Udp()
    {
        QProcess p;
        p.start("ip", {"netns", "exec", m_camera, "cat", "/proc/net/udp"});
        p.waitForFinished(5000);
        return p.readAllStandardOutput().toUpper();
    }

    // The whole program run inside the host's namespace.
    TarvikRun Tarvik(const QStringList& args, const QString& cameras = "gige:10.98.0.2")
    {
        QProcess p;
        p.setProcessEnvironment(TarvikEnvironment({}, cameras));
        p.start("ip", QStringList{"netns", "exec", m_host, TARVIK_EXE} + args);
        TarvikRun r;
        if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit)
            r = {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
        return r;
    }

    QString m_host, m_camera, m_hostLink;
    QProcess m_fake;
};

// Found by broadcast (allowed only here, inside the namespace) and by its
// address alone: the three fields first as always, then address, MAC and
// interface, and the line on stderr saying the subnet is another.
TEST_F(FakeCameraOnAnotherSubnet, ListMarksIt)
{
    for (const QString cameras : {"gige:10.98.0.2", "aravis"}) {
        const TarvikRun r = Tarvik({"--list"}, cameras);
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        const QList<QByteArray> fields = r.out.trimmed().split('\t');
        ASSERT_EQ(fields.size(), 6) << r.out.toStdString();
        EXPECT_EQ(fields[3], "10.98.0.2");
        EXPECT_EQ(fields[4].size(), 17);  // aa:bb:cc:dd:ee:ff
        EXPECT_TRUE(fields[5].startsWith("tnh")) << fields[5].toStdString();
        EXPECT_TRUE(r.err.contains("camera 10.98.0.2 is outside the subnet 10.99.0.0/24")) << r.err.toStdString();
        EXPECT_FALSE(r.out.contains("outside"));
    }
}

// The persistent address and mode written through the camera's registers and
// read back by a second run; the mode switched on its own after.
TEST_F(FakeCameraOnAnotherSubnet, LastingAddressWrittenAndReadBack)
{
    const TarvikRun set = Tarvik({"--set-ip", "10.99.0.7/24/10.99.0.1"});
    ASSERT_EQ(set.status, 0) << set.err.toStdString();
    EXPECT_TRUE(set.out.contains("next power-up or device reset")) << set.out.toStdString();
    const TarvikRun read = Tarvik({"--network", "--json"});
    ASSERT_EQ(read.status, 0) << read.err.toStdString();
    for (const char* expected : {"\"persistent_address\": \"10.99.0.7\"", "\"persistent_mask\": \"255.255.255.0\"",
                                 "\"persistent_gateway\": \"10.99.0.1\"", "\"mode\": \"persistent\"",
                                 "\"persistent\": true", "\"address\": \"10.98.0.2\"",
                                 "\"interface_address\": \"10.99.0.1\"", "\"interface_mask\": \"255.255.255.0\"",
                                 "\"mtu\": 1000"})
        EXPECT_TRUE(read.out.contains(expected)) << expected << "\n" << read.out.toStdString();
    struct Row {
        const char* mode;
        const char* reads;
    } rows[] = {{"dhcp", "\"mode\": \"dhcp\""}, {"link-local", "\"mode\": \"link-local\""},
                {"persistent", "\"mode\": \"persistent\""}};
    for (const Row& row : rows) {
        const TarvikRun r = Tarvik({"--ip-mode", row.mode, "--json"});
        EXPECT_EQ(r.status, 0) << row.mode << ": " << r.err.toStdString();
        EXPECT_TRUE(r.out.contains(row.reads)) << row.mode << "\n" << r.out.toStdString();
        EXPECT_TRUE(r.out.contains("\"persistent_address\": \"10.99.0.7\"")) << r.out.toStdString();
    }
}

// The check warns of the other subnet and of packets larger than the MTU
// (which it called ok before), and the metrics say the same.
TEST_F(FakeCameraOnAnotherSubnet, CheckWarns)
{
    const TarvikRun text = Tarvik({"--check", "--frames", "3"});
    ASSERT_EQ(text.status, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.contains("warn  subnet       camera 10.98.0.2 is outside the subnet")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("warn  packet_size  the MTU of tnh")) << text.out.toStdString();
    const TarvikRun metrics = Tarvik({"--check", "--frames", "3", "--prometheus"});
    ASSERT_EQ(metrics.status, 0) << metrics.err.toStdString();
    for (const char* expected : {"tarvik_link_problem{problem=\"outside_subnet\"} 1",
                                 "tarvik_link_problem{problem=\"mtu_below_packet_size\"} 1",
                                 "tarvik_link_problem{problem=\"link_local\"} 0",
                                 "tarvik_check_level{check=\"subnet\"} 1", "tarvik_check_level{check=\"packet_size\"} 1"})
        EXPECT_TRUE(metrics.out.contains(expected)) << expected;
}

// The host's link also holds an address in the camera's subnet: reached
// straight over the cable, whichever of the two addresses Aravis went out
// from (found by broadcast it is the first, 10.99.0.1). Check and metrics
// claimed the camera outside the subnet before. About 6 s.
TEST_F(FakeCameraOnAnotherSubnet, SecondAddressInItsSubnetIsNoWarning)
{
    ASSERT_TRUE(Ip({"-n", m_host, "route", "del", "10.98.0.0/24", "dev", m_hostLink}));
    ASSERT_TRUE(Ip({"-n", m_host, "addr", "add", "10.98.0.1/24", "dev", m_hostLink}));
    for (const QString cameras : {"aravis", "gige:10.98.0.2"}) {
        SCOPED_TRACE(cameras.toStdString());
        const TarvikRun text = Tarvik({"--check", "--frames", "2"}, cameras);
        ASSERT_EQ(text.status, 0) << text.err.toStdString();
        EXPECT_TRUE(text.out.contains("ok    subnet       camera 10.98.0.2 in the subnet of tnh")) << text.out.toStdString();
        EXPECT_FALSE(text.out.contains("outside")) << text.out.toStdString();
        const TarvikRun metrics = Tarvik({"--check", "--frames", "2", "--prometheus"}, cameras);
        EXPECT_TRUE(metrics.out.contains("tarvik_link_problem{problem=\"outside_subnet\"} 0")) << metrics.out.toStdString();
        const TarvikRun list = Tarvik({"--list"}, cameras);
        EXPECT_FALSE(list.err.contains("outside")) << list.err.toStdString();
    }
}

// Linux takes control characters and quotes in an interface's name; the
// JSON stays JSON (a raw \x01 made it unreadable before). About 1 s.
TEST_F(FakeCameraOnAnotherSubnet, NetworkJsonWithAnOddInterfaceName)
{
    const QString odd = QString("t\x01\"\\") + m_hostLink.mid(3, 8);
    for (const QStringList& step : {QStringList{"-n", m_host, "link", "set", m_hostLink, "down"},
                                    QStringList{"-n", m_host, "link", "set", m_hostLink, "name", odd},
                                    QStringList{"-n", m_host, "link", "set", odd, "up"},
                                    QStringList{"-n", m_host, "route", "replace", "10.98.0.0/24", "dev", odd}})
        ASSERT_TRUE(Ip(step)) << step.join(' ').toStdString();
    const TarvikRun r = Tarvik({"--network", "--json"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    QJsonParseError error{};
    const QJsonDocument json = QJsonDocument::fromJson(r.out, &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << r.out.toStdString();
    EXPECT_EQ(json["interface"].toString(), odd);
    // Qt's reader lets a raw control character through; JSON does not.
    EXPECT_TRUE(r.out.contains("\"interface\": \"t\\u0001\\\"\\\\")) << r.out.toStdString();
}

// The camera's subnet added to the host's link under a label, as old alias
// setups do ("eth1:0"): the device is still the link, with its MTU (1000,
// below the camera's 1400-byte packets). The label was taken for the device
// before: no MTU, no packet-size finding. About 2 s.
TEST_F(FakeCameraOnAnotherSubnet, AddressUnderALabelIsItsDevice)
{
    ASSERT_TRUE(Ip({"-n", m_host, "route", "del", "10.98.0.0/24", "dev", m_hostLink}));
    ASSERT_TRUE(Ip({"-n", m_host, "addr", "add", "10.98.0.1/24", "dev", m_hostLink, "label", m_hostLink + ":c"}));
    const TarvikRun list = Tarvik({"--list"});
    ASSERT_EQ(list.status, 0) << list.err.toStdString();
    EXPECT_TRUE(list.out.endsWith("\t" + m_hostLink.toUtf8() + "\n")) << list.out.toStdString();
    const TarvikRun check = Tarvik({"--check", "--frames", "2"});
    EXPECT_TRUE(check.out.contains("warn  packet_size  the MTU of " + m_hostLink.toUtf8() + " (1000 bytes)"))
        << check.out.toStdString();
    EXPECT_TRUE(check.out.contains("ok    subnet       camera 10.98.0.2 in the subnet of " + m_hostLink.toUtf8()))
        << check.out.toStdString();
}

}  // namespace
