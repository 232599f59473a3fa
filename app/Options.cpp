// The shared pieces of the commands' option readers.
#include "Options.h"

#include "platform/camera/camfeature.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

ParsedOptions::ParsedOptions(const QCommandLineParser& parser, int argc, char** argv,
                             std::vector<std::string> valueOptions)
    : m_parser(parser), m_argc(argc), m_argv(argv), m_valueOptions(std::move(valueOptions))
{
}

// Walks the arguments as QCommandLineParser does: "--name value" or
// "--name=value", and nothing after "--".
std::vector<std::string> ParsedOptions::RawValues(const QCommandLineOption& option) const
{
    const std::string name = "--" + option.names().first().toStdString();
    std::vector<std::string> values;
    for (int i = 1; i < m_argc; ++i) {
        const std::string arg = m_argv[i];
        if (arg == "--")
            break;
        if (arg == name && i + 1 < m_argc)
            values.push_back(m_argv[i + 1]);
        else if (arg.rfind(name + "=", 0) == 0)
            values.push_back(arg.substr(name.size() + 1));
        for (const std::string& other : m_valueOptions)
            if (arg == "--" + other)
                ++i;  // its value is not an option
    }
    return values;
}

std::string ParsedOptions::RawValue(const QCommandLineOption& option) const
{
    const std::vector<std::string> values = RawValues(option);
    return values.empty() ? std::string() : values.front();
}

bool NumberIn(const QString& text, double low, double high, double* value)
{
    return cam::ParseNumber(text.toStdString(), value) && *value >= low && *value <= high;
}

bool WholeNumberIn(const QString& text, int64_t low, int64_t high, int64_t* value)
{
    return cam::ParseWholeNumber(text.toStdString(), value) && *value >= low && *value <= high;
}

bool SizeIn(const QString& text, uint64_t* bytes)
{
    QString t = text.trimmed().toUpper();
    for (const char* unit : {"IB", "B"})
        if (t.size() > 1 && t.endsWith(unit) && !t.at(t.size() - int(std::strlen(unit)) - 1).isDigit()) {
            t.chop(int(std::strlen(unit)));
            break;
        }
    int shift = 0;
    if (!t.isEmpty() && QString("KMGT").contains(t.back())) {
        shift = 10 * (int(QString("KMGT").indexOf(t.back())) + 1);
        t.chop(1);
    }
    bool ok = false;
    const qulonglong n = t.toULongLong(&ok);
    if (!ok || n == 0 || n > (qulonglong(1) << (40 - shift)))
        return false;
    *bytes = uint64_t(n) << shift;
    return true;
}

Usage ReadLength(const ParsedOptions& options, const char* what, uint64_t* frames, double* seconds)
{
    const bool framesSet = options.IsSet(QStringLiteral("frames"));
    const bool secondsSet = options.IsSet(QStringLiteral("seconds"));
    if (framesSet && secondsSet)
        return (QString("--frames and --seconds both say how long to ") + what + ": use one of them").toStdString();
    if (framesSet) {
        const QString text = options.Value(QStringLiteral("frames"));
        int64_t n = 0;
        if (!WholeNumberIn(text, 1, 1000000000, &n))
            return ("--frames needs a whole number from 1 to 1000000000, got '" + text + "'").toStdString();
        *frames = uint64_t(n);
    }
    if (secondsSet) {
        const QString text = options.Value(QStringLiteral("seconds"));
        double v = 0;
        if (!NumberIn(text, 0.001, 86400, &v))
            return ("--seconds needs a number of seconds from 0.001 to 86400, got '" + text + "'").toStdString();
        *seconds = v;
    }
    return std::nullopt;
}

bool StandardOutputWritten(int failedWith)
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout) && !failedWith)
        return true;
    const int error = failedWith ? failedWith : errno;
    std::fprintf(stderr, "tarvik: cannot write standard output: %s\n",
                 error ? std::strerror(error) : "an output error");
    return false;
}

bool WriteStandardOutput(const std::string& text)
{
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    return StandardOutputWritten(written ? 0 : (errno ? errno : EIO));
}
