// What every command's option reader shares: the parsed command line seen
// through its options, the number and size readers, and standard output
// written with its failure said.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A usage error's message (status 64); none when the options go together.
using Usage = std::optional<std::string>;

// The command line once QCommandLineParser has read it. Options are asked
// for by the option or by name, so that a command can name another's option
// (to refuse it) without reaching into that command's table.
class ParsedOptions {
public:
    // valueOptions: the names of every option that takes a value, for
    // walking the arguments as the parser does.
    ParsedOptions(const QCommandLineParser& parser, int argc, char** argv, std::vector<std::string> valueOptions);

    bool IsSet(const QString& name) const { return m_parser.isSet(name); }
    bool IsSet(const QCommandLineOption& option) const { return m_parser.isSet(option); }
    QString Value(const QCommandLineOption& option) const { return m_parser.value(option); }
    QString Value(const QString& name) const { return m_parser.value(name); }
    QStringList Values(const QCommandLineOption& option) const { return m_parser.values(option); }
    QStringList Values(const QString& name) const { return m_parser.values(name); }

    // An option's values in the order given, as the bytes given, which
    // QString would turn into U+FFFD where they are not UTF-8 (Linux file
    // names are bytes, not text).
    std::vector<std::string> RawValues(const QCommandLineOption& option) const;
    // The first of them; empty when the option is not given.
    std::string RawValue(const QCommandLineOption& option) const;

private:
    const QCommandLineParser& m_parser;
    int m_argc;
    char** m_argv;
    std::vector<std::string> m_valueOptions;
};

// A number option's value within [low, high], written as feature values
// are; false when it is not one.
bool NumberIn(const QString& text, double low, double high, double* value);
// The same for a whole number.
bool WholeNumberIn(const QString& text, int64_t low, int64_t high, int64_t* value);
// A size such as 512M or 2G: bytes, or K, M, G, T for powers of 1024 (an
// optional iB or B after them); false when it is not one from 1 byte to 1 TiB.
bool SizeIn(const QString& text, uint64_t* bytes);

// --frames and --seconds, which say how long a check or a recording runs
// (what: "check" or "record"); each left as it was when not given.
Usage ReadLength(const ParsedOptions& options, const char* what, uint64_t* frames, double* seconds);

// Writes out what is buffered for standard output; false, with a message,
// when it could not be written (a full disk, a closed pipe, /dev/full).
// failedWith: the errno of a write that already failed, if one did.
bool StandardOutputWritten(int failedWith = 0);
// Text longer than standard output's buffer fails while it is written, not
// when it is flushed: the reason is kept from then.
bool WriteStandardOutput(const std::string& text);
