// --force-ip over the built program, run inside two network namespaces the
// test makes itself (a "host" and a "camera" joined by a veth pair) so that
// nothing is ever sent on this machine's own network. The camera is
// gvcp_responder; tshark's GigE Vision dissector reads what Tarvik sent.
#include "RunTarvik.h"
#include "WaitFor.h"

#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const QString kMac = "02:00:5e:10:00:01";
const QString kOtherMac = "02:00:5e:10:00:02";
const QString kHostIf = "tvkf0";
const QString kCameraIf = "tvkf1";
const QString kDownIf = "tvkfdown";
const QString kTunIf = "tvkftun";  // point-to-point: no broadcast

// ip with these arguments; its status, or -1 when it did not run.
int Ip(const QStringList& args, QByteArray* out = nullptr)
{
    QProcess p;
    p.start("ip", args);
    if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitCode();
}

// The two namespaces and the veth pair, removed with them also when a test
// fails. The camera starts on another subnet than the host's.
struct Namespaces {
    QString host, camera, why;

    Namespaces()
    {
        static int count = 0;
        const QString suffix = QString::number(getpid()) + "-" + QString::number(++count);
        host = "tvkf-h-" + suffix;
        camera = "tvkf-c-" + suffix;
        if (geteuid() != 0) {
            why = "network namespaces need root";
            return;
        }
        const std::vector<QStringList> steps = {
            {"netns", "add", host},
            {"netns", "add", camera},
            {"-n", host, "link", "add", kHostIf, "type", "veth", "peer", "name", kCameraIf, "netns", camera},
            {"-n", host, "addr", "add", "10.99.0.1/24", "dev", kHostIf},
            {"-n", host, "link", "set", kHostIf, "up"},
            {"-n", host, "link", "add", kDownIf, "type", "veth", "peer", "name", kDownIf + "1"},  // left down
            {"-n", host, "tuntap", "add", "dev", kTunIf, "mode", "tun"},
            {"-n", host, "link", "set", kTunIf, "up"},
            {"-n", camera, "addr", "add", "192.168.77.5/24", "dev", kCameraIf},
            {"-n", camera, "link", "set", kCameraIf, "up"}};
        for (const QStringList& step : steps)
            if (Ip(step) != 0) {
                why = "cannot make network namespaces: ip " + step.join(' ') + " failed";
                return;
            }
    }
    ~Namespaces()
    {
        Ip({"netns", "del", host});
        Ip({"netns", "del", camera});
    }
};

// A program inside a namespace; QProcess ends it (by its PID, which ip
// netns exec keeps) when it goes.
std::unique_ptr<QProcess> StartIn(const QString& ns, const QString& program, const QStringList& args)
{
    auto p = std::make_unique<QProcess>();
    p->start("ip", QStringList{"netns", "exec", ns, program} + args);
    return p;
}

TarvikRun RunTarvikIn(const QString& ns, const QStringList& args)
{
    QProcess p;
    p.setProcessEnvironment(TarvikEnvironment({}, {}));
    p.start("ip", QStringList{"netns", "exec", ns, TARVIK_EXE} + args);
    TarvikRun r;
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit)
        r = {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
    return r;
}

class ForceIpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!net.why.isEmpty())
            GTEST_SKIP() << "skipped: " << net.why.toStdString();
    }

    // A responder in the camera namespace, listening once this returns.
    void StartCamera(const QString& mac, const QString& at, const QStringList& flags = {})
    {
        cameras.push_back(StartIn(net.camera, RESPONDER_EXE, QStringList{"--mac", mac, "--at", at, "--dev", kCameraIf} + flags));
        QProcess* p = cameras.back().get();
        QByteArray out;
        ASSERT_SOON((out += p->readAllStandardOutput()).contains("ready") || p->state() == QProcess::NotRunning);
        ASSERT_TRUE(out.contains("ready")) << p->readAllStandardError().toStdString();
    }

    void TearDown() override { StopCameras(); }

    void StopCameras()
    {
        for (const std::unique_ptr<QProcess>& p : cameras) {
            p->kill();
            p->waitForFinished(5000);
        }
        cameras.clear();
    }

    Namespaces net;
    std::vector<std::unique_ptr<QProcess>> cameras;
};

// tshark on the host's end of the veth pair, printing these fields of each
// GigE Vision command it sees, a line each; listening once it returns.
std::unique_ptr<QProcess> Decode(const QString& ns, const QStringList& fields)
{
    QStringList args = {"-i", kHostIf, "-l", "-n", "-d", "udp.port==3956,gvcp", "-Y", "gvcp.cmd.command", "-T", "fields"};
    for (const QString& f : fields)
        args << "-e" << f;
    std::unique_ptr<QProcess> tshark = StartIn(ns, "tshark", args);
    QByteArray err;
    [&] {
        ASSERT_FALSE(QStandardPaths::findExecutable("tshark").isEmpty())
            << "tshark is not installed: scripts/deps.sh test installs it";
        ASSERT_SOON_WITHIN((err += tshark->readAllStandardError()).contains("Capturing on") ||
                               tshark->state() == QProcess::NotRunning,
                           20000);
        ASSERT_TRUE(err.contains("Capturing on")) << err.toStdString();
    }();
    return tshark;
}

TEST_F(ForceIpTest, MovesTheCameraAndSendsForceIpAsTheStandardLaysItOut)
{
    ASSERT_NO_FATAL_FAILURE(StartCamera(kMac, "192.168.77.5/24"));
    const QStringList fields = {"gvcp.cmd.flag.acq_required", "gvcp.cmd.forceip.macaddress", "gvcp.cmd.forceip.ip",
                                "gvcp.cmd.forceip.subnetmask", "gvcp.cmd.forceip.defaultgateway"};
    std::unique_ptr<QProcess> tshark;
    ASSERT_NO_FATAL_FAILURE(tshark = Decode(net.host, QStringList{"gvcp.cmd.command"} + fields));

    const TarvikRun r = RunTarvikIn(net.host, {"--force-ip", kMac, "10.99.0.20/24/10.99.0.254", "--interface", kHostIf});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Camera 02:00:5e:10:00:01 (gvcp_responder")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("is now at 10.99.0.20/24, gateway 10.99.0.254 on tvkf0")) << r.out.toStdString();

    QByteArray decoded;
    ASSERT_SOON((decoded += tshark->readAllStandardOutput()).contains('\n'));
    // The first command is FORCEIP; discovery follows it.
    QList<QByteArray> values = decoded.left(decoded.indexOf('\n')).split('\t');
    ASSERT_EQ(values.size(), fields.size() + 1) << decoded.toStdString();
    EXPECT_EQ(values.takeFirst().toStdString(), "0x0004");
    EXPECT_TRUE(values[0] == "1" || values[0] == "True") << values[0].toStdString();
    EXPECT_EQ(values[1].toStdString(), kMac.toStdString());
    EXPECT_EQ(values[2].toStdString(), "10.99.0.20");
    EXPECT_EQ(values[3].toStdString(), "255.255.255.0");
    EXPECT_EQ(values[4].toStdString(), "10.99.0.254");
    tshark->kill();
    tshark->waitForFinished(5000);

    // Moved there: the camera's own interface has the address Tarvik's
    // discovery found it at.
    QByteArray address;
    ASSERT_EQ(Ip({"-n", net.camera, "-4", "-o", "addr", "show", "dev", kCameraIf}, &address), 0);
    EXPECT_TRUE(address.contains("10.99.0.20/24")) << address.toStdString();
    EXPECT_FALSE(address.contains("192.168.77.5")) << address.toStdString();
}

// What the camera does and what Tarvik says about it.
struct CameraCase {
    const char* name;
    QStringList responderFlags;  // empty: first
    bool secondCameraAtTarget;   // another camera already sits at the address asked for
    QString interfaceName;
    int status;
    const char* says;
};

TEST_F(ForceIpTest, CamerasThatDoNotMoveAndInterfacesThatCannotSend)
{
    const CameraCase cases[] = {
        {"no acknowledgement", {"--no-ack"}, false, kHostIf, 2,
         "no camera with MAC 02:00:5e:10:00:01 acknowledged FORCEIP on tvkf0 within 2 s"},
        {"refused", {"--refuse"}, false, kHostIf, 8, "the camera 02:00:5e:10:00:01 refused FORCEIP (status 0x8002)"},
        {"acknowledged but stays", {"--stay"}, false, kHostIf, 8,
         "acknowledged FORCEIP but still answers at 192.168.77.5, not at 10.99.0.20"},
        {"two cameras at the address", {}, true, kHostIf, 8, "two cameras answer at 10.99.0.20 on tvkf0"},
        {"claims the address without taking it", {"--claim"}, false, kHostIf, 8,
         "acknowledged FORCEIP but still answers at 192.168.77.5, not at 10.99.0.20"},
        {"interface down", {}, false, kDownIf, 64, "the interface tvkfdown is down"},
        {"no such interface", {}, false, "tvkfnone", 64, "there is no network interface 'tvkfnone'"},
        {"a tunnel", {}, false, kTunIf, 64, "tvkftun cannot broadcast (a point-to-point or tunnel interface)"},
    };
    for (const CameraCase& c : cases) {
        SCOPED_TRACE(c.name);
        StopCameras();
        Ip({"-n", net.camera, "addr", "flush", "dev", kCameraIf});
        ASSERT_EQ(Ip({"-n", net.camera, "addr", "add", "192.168.77.5/24", "dev", kCameraIf}), 0);
        ASSERT_NO_FATAL_FAILURE(StartCamera(kMac, "192.168.77.5/24", c.responderFlags));
        if (c.secondCameraAtTarget) {
            ASSERT_NO_FATAL_FAILURE(StartCamera(kOtherMac, "10.99.0.20/24", {"--stay"}));
        }
        const TarvikRun r = RunTarvikIn(net.host, {"--force-ip", kMac, "10.99.0.20/24", "--interface", c.interfaceName});
        EXPECT_EQ(r.status, c.status) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.says)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
    }
}

// Refused before anything is sent; run inside the namespace all the same.
struct BadInput {
    QStringList args;
    const char* says;
};

TEST_F(ForceIpTest, RefusesWhatNamesNoSingleCameraOrAddress)
{
    const QString a = "10.99.0.20/24";
    const BadInput cases[] = {
        {{"--force-ip", "00:11:22:33:44", a, "--interface", kHostIf}, "'00:11:22:33:44' is not a MAC"},
        {{"--force-ip", "00:11:22:33:44:5g", a, "--interface", kHostIf}, "is not a MAC"},
        {{"--force-ip", "00:11-22:33:44:55", a, "--interface", kHostIf}, "is not a MAC"},
        {{"--force-ip", "ff:ff:ff:ff:ff:ff", a, "--interface", kHostIf}, "is the broadcast MAC"},
        {{"--force-ip", "01:00:5e:00:00:01", a, "--interface", kHostIf}, "is a multicast MAC"},
        {{"--force-ip", "00:00:00:00:00:00", a, "--interface", kHostIf}, "names no camera"},
        {{"--force-ip", kMac, "10.99.0.0/24", "--interface", kHostIf}, "it is the network address"},
        {{"--force-ip", kMac, "10.99.0.255/24", "--interface", kHostIf}, "it is the broadcast address"},
        {{"--force-ip", kMac, "224.0.0.5/24", "--interface", kHostIf}, "a multicast address"},
        {{"--force-ip", kMac, "255.255.255.255/24", "--interface", kHostIf}, "a broadcast or reserved address"},
        {{"--force-ip", kMac, "0.0.0.0/8", "--interface", kHostIf}, "0.0.0.0 names no host"},
        {{"--force-ip", kMac, "127.0.0.2/8", "--interface", kHostIf}, "a loopback address"},
        {{"--force-ip", kMac, "0.1.2.3/24", "--interface", kHostIf}, "an address in 0.0.0.0/8"},
        {{"--force-ip", kMac, "10.99.0.300/24", "--interface", kHostIf}, "is not an IPv4 address"},
        {{"--force-ip", kMac, "10.99.0.20", "--interface", kHostIf}, "has no prefix"},
        {{"--force-ip", kMac, "10.99.0.20/0", "--interface", kHostIf}, "is not one from 1 to 30"},
        {{"--force-ip", kMac, "10.99.0.20/31", "--interface", kHostIf}, "is not one from 1 to 30"},
        {{"--force-ip", kMac, "10.99.0.20/24/10.99.1.1", "--interface", kHostIf}, "is not another host inside 10.99.0.0/24"},
        {{"--force-ip", kMac, "10.99.0.20/24/10.99.0.20", "--interface", kHostIf}, "is not another host inside"},
        {{"--force-ip", kMac, a}, "--force-ip needs --interface IF"},
        {{"--force-ip", kMac, "--interface", kHostIf}, "--force-ip needs MAC ADDRESS/PREFIX"},
        {{a, "--force-ip", kMac, "--interface", kHostIf}, "unexpected argument '10.99.0.20/24'"},
        {{"--force-ip", kMac, a, "--interface", kHostIf, "--camera", "sim-0"}, "not with --camera"},
        {{"--force-ip", kMac, a, "--interface", kHostIf, "--interface", "lo"}, "--interface given more than once"},
        {{"--interface", kHostIf}, "--interface goes with --force-ip only"},
        {{"--force-ip", kMac, a, "--interface", "lo"}, "lo is the loopback interface"},
    };
    std::unique_ptr<QProcess> tshark;
    ASSERT_NO_FATAL_FAILURE(tshark = Decode(net.host, {"gvcp.cmd.command", "gvcp.cmd.forceip.macaddress"}));
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const TarvikRun r = RunTarvikIn(net.host, c.args);
        EXPECT_EQ(r.status, 64);
        EXPECT_TRUE(r.err.contains(c.says)) << r.err.toStdString();
    }
    // Then one that is sent, to another MAC and unanswered: once tshark
    // shows it, it has shown whatever came before it, and nothing did.
    EXPECT_EQ(RunTarvikIn(net.host, {"--force-ip", kOtherMac, a, "--interface", kHostIf}).status, 2);
    QByteArray decoded;
    ASSERT_SOON((decoded += tshark->readAllStandardOutput()).contains('\n'));
    const QByteArray first = decoded.left(decoded.indexOf('\n'));
    EXPECT_EQ(first.toStdString(), "0x0004\t" + kOtherMac.toStdString());
    tshark->kill();
    tshark->waitForFinished(5000);
}

}  // namespace
