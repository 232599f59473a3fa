// Everything goes through the camera library's described, text-valued
// features; values are checked against the description before they are
// set, so that a refusal can say what the camera accepts.
#include "CameraSettings.h"

#include "CameraSequences.h"
#include "Failures.h"
#include "platform/camera/camfeature.h"
#include "platform/camera/camtext.h"
#include "platform/imaging/files/OutputFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Feature {
    std::string category, name;
    CamFeatureInfo info{};
    int depth = 0;  // 0 directly under Root
};

bool Describe(const std::string& name, CamFeatureInfo* info)
{
    return CamFeatureInfoGet(g_hCamera, name.c_str(), info, sizeof *info) == CAM_OK;
}

// Every category and feature under Root, depth first, each once (a
// camera's tree may list a feature in more than one category, or loop);
// invisible features left out.
std::vector<Feature> WalkTree()
{
    std::vector<Feature> all;
    std::set<std::string> seen;
    auto visit = [&](auto&& self, const std::string& category, int depth) -> void {
        uint32_t count = 0;
        if (depth > 16 || CamFeatureChildren(g_hCamera, category.c_str(), nullptr, 0, &count) != CAM_OK)
            return;
        std::vector<const char*> names(count);
        if (CamFeatureChildren(g_hCamera, category.c_str(), names.data(), count, &count) != CAM_OK)
            return;
        for (uint32_t i = 0; i < count; ++i) {
            Feature f{category, names[i] ? names[i] : "", {}, depth};
            if (f.name.empty() || !seen.insert(f.name).second || !Describe(f.name, &f.info) ||
                f.info.visibility == CAM_VISIBILITY_INVISIBLE)
                continue;
            all.push_back(f);
            if (f.info.type == CAM_TYPE_CATEGORY)
                self(self, f.name, depth + 1);
        }
    };
    visit(visit, "Root", 0);
    return all;
}

// The features alone.
std::vector<Feature> Walk()
{
    std::vector<Feature> all = WalkTree();
    std::erase_if(all, [](const Feature& f) { return f.info.type == CAM_TYPE_CATEGORY; });
    return all;
}

size_t Distance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// "no feature "ExposureTme"; did you mean ExposureTime?"
std::string NoFeature(const std::string& name)
{
    std::vector<std::pair<size_t, std::string>> near;
    constexpr size_t kLongestName = 256;  // longer is no typing slip, and the distance grows with it
    for (const Feature& f : name.size() <= kLongestName ? Walk() : std::vector<Feature>()) {
        const size_t d = Distance(name, f.name);
        if (d <= std::max<size_t>(2, name.size() / 4))
            near.emplace_back(d, f.name);
    }
    std::sort(near.begin(), near.end());
    std::string text = "no feature " + cam::Echoed(name, true);
    for (size_t i = 0; i < near.size() && i < 3; ++i)
        text += (i ? i + 1 == std::min<size_t>(3, near.size()) ? " or " : ", " : "; did you mean ") + near[i].second;
    return text + (near.empty() ? "" : "?");
}

std::string Where(const Setting& s)
{
    return s.origin.empty() || s.origin == "--set" ? "" : s.origin + ": ";
}

bool ChangesShape(const std::string& name)
{
    static const std::set<std::string> shape = {"Width",
                                                "Height",
                                                "OffsetX",
                                                "OffsetY",
                                                "PixelFormat",
                                                "BinningHorizontal",
                                                "BinningVertical",
                                                "DecimationHorizontal",
                                                "DecimationVertical"};
    return shape.count(name) > 0;
}

std::string Value(const std::string& name)
{
    const char* v = nullptr;
    return CamFeatureValueGet(g_hCamera, name.c_str(), &v) == CAM_OK && v ? v : "";
}

}  // namespace

std::string FeatureRangeText(const CamFeatureInfo& i)
{
    switch (i.type) {
    case CAM_TYPE_INTEGER:
        return cam::IntText(i.intMinimum, i.representation) + ".." + cam::IntText(i.intMaximum, i.representation) +
               (i.intIncrement > 1 ? " step " + cam::IntText(i.intIncrement, i.representation) : "");
    case CAM_TYPE_FLOAT:
        return cam::FloatText(i.floatMinimum) + ".." + cam::FloatText(i.floatMaximum) +
               (i.floatIncrement > 0 ? " step " + cam::FloatText(i.floatIncrement) : "");
    case CAM_TYPE_ENUMERATION: {
        std::string list;
        for (uint32_t e = 0; e < i.entryCount; ++e)
            list += (e ? "|" : "") + std::string(i.entries[e]);
        return list;
    }
    case CAM_TYPE_BOOLEAN: return "true|false";
    default: return "";
    }
}

namespace {

bool Readable(const CamFeatureInfo& i)
{
    return (i.access & CAM_ACCESS_READ) && i.type != CAM_TYPE_COMMAND && i.type != CAM_TYPE_CATEGORY;
}

}  // namespace

bool ParseSetting(const std::string& text, const std::string& origin, Setting* setting)
{
    const size_t eq = text.find('=');
    *setting = {text.substr(0, eq), eq == std::string::npos ? "" : text.substr(eq + 1), eq != std::string::npos,
                origin};
    return !setting->name.empty();
}

namespace {

// One line of a settings file, without its '\n': a setting appended, or a
// blank line or comment passed over; false, with *error, when it is neither.
bool TakeLine(std::string line, bool first, const std::string& origin, std::vector<Setting>* settings,
              std::string* error)
{
    if (first && line.rfind("\xEF\xBB\xBF", 0) == 0)
        line.erase(0, 3);  // a byte-order mark, which some editors write
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    // A NUL would end the name or value early wherever it is passed on as C text.
    if (line.find('\0') != std::string::npos) {
        *error = origin + ": a NUL byte in " + cam::Echoed(line, true);
        return false;
    }
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#')
        return true;
    if (settings->size() >= kMaxSettings) {
        *error = origin + ": more than " + std::to_string(kMaxSettings) + " settings";
        return false;
    }
    Setting s;
    if (!ParseSetting(line.substr(start), origin, &s) || !s.hasValue) {
        *error = origin + ": expected NAME=VALUE, got " + cam::Echoed(line, true);
        return false;
    }
    settings->push_back(std::move(s));
    return true;
}

// The lines read from fd, streamed, within the bounds. For messages: name
// begins a line's origin ("cam.txt:3"), quoted names the whole.
bool ReadSettings(int fd, const std::string& name, const std::string& quoted, std::vector<Setting>* settings,
                  std::string* error)
{
    std::string line;  // what has been read of line number
    size_t number = 1, total = 0;
    auto origin = [&] { return name + ":" + std::to_string(number); };
    auto tooLong = [&] {
        *error = origin() + ": line longer than " + std::to_string(kMaxSettingsLine >> 10) + " KiB";
        return false;
    };
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = "cannot read " + quoted + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0)
            break;
        const char* p = buffer.data();
        const char* end = p + std::min<size_t>(size_t(n), kMaxSettingsFileBytes - total);
        total += size_t(end - p);
        while (p < end) {
            const char* newline = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            const char* stop = newline ? newline : end;
            // Held to the bound and one more byte: the '\r' of a line that
            // ends in "\r\n" is not part of it.
            const size_t length = line.size() + size_t(stop - p);
            if (length > kMaxSettingsLine + 1 ||
                (newline && length > kMaxSettingsLine && (length > line.size() ? stop[-1] : line.back()) != '\r'))
                return tooLong();
            line.append(p, stop);
            if (!newline)
                break;
            if (!TakeLine(line, number == 1, origin(), settings, error))
                return false;
            line.clear();
            ++number;
            p = newline + 1;
        }
        if (end != buffer.data() + n) {
            *error = origin() + ": file longer than " + std::to_string(kMaxSettingsFileBytes >> 20) + " MiB";
            return false;
        }
    }
    if (line.size() > kMaxSettingsLine && line.back() != '\r')
        return tooLong();
    return line.empty() || TakeLine(line, number == 1, origin(), settings, error);
}

}  // namespace

bool ReadSettingsFile(const std::string& path, std::vector<Setting>* settings, std::string* error)
{
    if (path == "-")
        return ReadSettings(STDIN_FILENO, "standard input", "standard input", settings, error);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read " + cam::Quoted(path) + ": " + std::strerror(errno);
        return false;
    }
    const bool read = ReadSettings(fd, cam::OneLine(path), cam::Quoted(path), settings, error);
    close(fd);
    return read;
}

std::string ApplySettings(const std::vector<Setting>& settings, bool* shapeChanged, bool* usage)
{
    *shapeChanged = *usage = false;
    std::vector<std::pair<std::string, std::string>> changed;  // name, value before
    std::string refusal;
    for (const Setting& s : settings) {
        CamFeatureInfo info{};
        const std::string name = cam::OneLine(s.name);
        if (!Describe(s.name, &info)) {
            refusal = Where(s) + NoFeature(s.name);
        } else if (info.type == CAM_TYPE_COMMAND && s.hasValue && !s.value.empty()) {
            refusal = Where(s) + "cannot set " + name + ": it is a command, which takes no value (--set " + name + ")";
        } else if (info.type != CAM_TYPE_COMMAND && !s.hasValue) {
            refusal = "--set " + name + " needs =VALUE: only a command runs without one";
            *usage = true;
        } else if (!(info.access & CAM_ACCESS_WRITE)) {
            refusal = Where(s) + "cannot set " + name + ": it is " +
                      (info.access == CAM_ACCESS_READ ? "read-only now" : "not available now");
        } else {
            std::string canonical, why;
            if (cam::CheckFeatureValue(info, s.value, &canonical, &why) != CAM_OK) {
                refusal = Where(s) + "cannot set " + name + ": " + why;
            } else {
                const std::string before = Readable(info) ? Value(s.name) : "";
                const CamError err = CamFeatureValueSet(g_hCamera, s.name.c_str(), canonical.c_str());
                if (err != CAM_OK)
                    refusal = Where(s) + "cannot set " + name + " to " + cam::Echoed(canonical) + ": " +
                              CamErrorText(err) + " (" + CamErrorName(err) + ")";
                else if (Readable(info))
                    changed.emplace_back(s.name, before);
                *shapeChanged = *shapeChanged || (err == CAM_OK && ChangesShape(s.name));
            }
        }
        if (!refusal.empty())
            break;
    }
    if (!refusal.empty())
        for (auto it = changed.rbegin(); it != changed.rend(); ++it)
            CamFeatureValueSet(g_hCamera, it->first.c_str(), it->second.c_str());
    return refusal;
}

std::string GetFeatures(const std::vector<std::string>& names, std::string* out)
{
    for (const std::string& name : names) {
        CamFeatureInfo info{};
        if (!Describe(name, &info))
            return NoFeature(name);
        const char* v = nullptr;
        if (!Readable(info) || CamFeatureValueGet(g_hCamera, name.c_str(), &v) != CAM_OK || !v)
            return "cannot read " + cam::OneLine(name) + ": it is " +
                   (Readable(info) || info.type == CAM_TYPE_COMMAND
                        ? std::string("a ") + cam::FeatureTypeName(info.type)
                        : std::string(cam::FeatureAccessName(info.access)));
        *out += name + "=" + v + "\n";
    }
    return {};
}

std::string FeaturesText()
{
    std::vector<std::vector<std::string>> rows = {{"CATEGORY", "NAME", "TYPE", "ACCESS", "VALUE", "RANGE", "UNIT"}};
    for (const Feature& f : Walk())
        rows.push_back({f.category, f.name, cam::FeatureTypeName(f.info.type), cam::FeatureAccessName(f.info.access),
                        Readable(f.info) ? Value(f.name) : "", FeatureRangeText(f.info), f.info.unit ? f.info.unit : ""});
    std::vector<size_t> width(rows[0].size(), 0);
    for (auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) {
            row[c] = cam::Escaped(row[c]);
            width[c] = std::max(width[c], row[c].size());
        }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c)
            line += row[c] + (c + 1 < row.size() ? std::string(width[c] - row[c].size() + 2, ' ') : "");
        out += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    }
    return out;
}

std::string FeaturesJson()
{
    QJsonArray all;
    for (const Feature& f : Walk()) {
        const CamFeatureInfo& i = f.info;
        QJsonObject o{{"category", QString::fromStdString(f.category)},
                      {"name", QString::fromStdString(f.name)},
                      {"display_name", QString::fromUtf8(i.displayName)},
                      {"description", QString::fromUtf8(i.description)},
                      {"type", cam::FeatureTypeName(i.type)},
                      {"access", cam::FeatureAccessName(i.access)},
                      {"visibility", cam::FeatureVisibilityName(i.visibility)},
                      {"unit", QString::fromUtf8(i.unit)},
                      {"value", Readable(i) ? QJsonValue(QString::fromStdString(Value(f.name))) : QJsonValue()}};
        if (i.type == CAM_TYPE_INTEGER) {
            // As integers, which JSON writes exactly; a double would round 64-bit limits.
            o["minimum"] = qint64(i.intMinimum);
            o["maximum"] = qint64(i.intMaximum);
            o["increment"] = qint64(i.intIncrement);
            o["representation"] = i.representation == CAM_REPRESENTATION_HEX ? "hex" : "decimal";
        } else if (i.type == CAM_TYPE_FLOAT) {
            o["minimum"] = i.floatMinimum;
            o["maximum"] = i.floatMaximum;
            o["increment"] = i.floatIncrement > 0 ? QJsonValue(i.floatIncrement) : QJsonValue();
        } else if (i.type == CAM_TYPE_ENUMERATION) {
            QJsonArray entries;
            for (uint32_t e = 0; e < i.entryCount; ++e)
                entries.append(QString::fromUtf8(i.entries[e]));
            o["entries"] = entries;
        }
        if (i.selectedCount > 0) {
            QJsonArray selects;
            for (uint32_t e = 0; e < i.selectedCount; ++e)
                selects.append(QString::fromUtf8(i.selected[e]));
            o["selects"] = selects;
        }
        all.append(o);
    }
    return QJsonDocument(all).toJson(QJsonDocument::Indented).toStdString();
}

std::vector<FeatureItem> FeatureTree()
{
    std::vector<FeatureItem> items;
    for (const Feature& f : WalkTree())
        items.push_back({f.name, f.depth, f.info, Readable(f.info) ? Value(f.name) : "", Readable(f.info)});
    return items;
}

namespace {

// Where a feature goes in a settings file: what governs others first
// (selectors, then modes, autos and enables), sizes before offsets.
int Rank(const std::string& n)
{
    auto ends = [&n](const char* s) {
        const std::string e = s;
        return n.size() >= e.size() && n.compare(n.size() - e.size(), e.size(), e) == 0;
    };
    if (ends("Selector"))
        return 0;
    if (ends("Mode") || ends("Auto") || ends("Enable") || n == "PixelFormat")
        return 1;
    if (n.rfind("Offset", 0) == 0)
        return 3;
    return 2;
}

void SortByRank(std::vector<std::string>* names)
{
    std::stable_sort(names->begin(), names->end(),
                     [](const std::string& a, const std::string& b) { return Rank(a) < Rank(b); });
}

bool Writable(const CamFeatureInfo& info) { return info.access == CAM_ACCESS_READ_WRITE && Readable(info); }

// As the camera describes it now (a selector's entry may change it).
bool Writable(const std::string& name)
{
    CamFeatureInfo info{};
    return Describe(name, &info) && Writable(info);
}

// What a selector selects, for each of its entries in turn ("GainSelector=Red"
// then "Gain=..."), ending with the entry selected now, which the camera
// has again afterwards.
std::string SelectorLines(const Feature& selector)
{
    const std::string name = selector.name, now = Value(name);
    std::vector<std::string> selected(selector.info.selected, selector.info.selected + selector.info.selectedCount);
    SortByRank(&selected);
    std::string out;
    for (uint32_t e = 0; e < selector.info.entryCount; ++e) {
        const std::string entry = selector.info.entries[e];
        if (CamFeatureValueSet(g_hCamera, name.c_str(), entry.c_str()) != CAM_OK)
            continue;
        std::string lines;
        for (const std::string& f : selected)
            if (Writable(f))
                lines += f + "=" + Value(f) + "\n";
        if (!lines.empty())
            out += name + "=" + entry + "\n" + lines;
    }
    CamFeatureValueSet(g_hCamera, name.c_str(), now.c_str());
    return out + name + "=" + now + "\n";
}

}  // namespace

std::string SettingsFileText()
{
    const std::vector<Feature> all = Walk();
    // Features that depend on a selector's entry are written under each
    // entry, after the modes that may govern them.
    std::vector<const Feature*> selectors;
    std::set<std::string> selected;
    for (const Feature& f : all)
        if (f.info.type == CAM_TYPE_ENUMERATION && f.info.selectedCount > 0 && Writable(f.info)) {
            selectors.push_back(&f);
            selected.insert(f.info.selected, f.info.selected + f.info.selectedCount);
        }
    std::vector<std::string> plain;
    for (const Feature& f : all)
        if (Writable(f.info) && !selected.count(f.name) &&
            std::none_of(selectors.begin(), selectors.end(), [&](const Feature* s) { return s->name == f.name; }))
            plain.push_back(f.name);
    SortByRank(&plain);
    std::string out = "# Camera settings written by tarvik --save-settings; tarvik --settings FILE applies them.\n";
    size_t i = 0;
    for (; i < plain.size() && Rank(plain[i]) < 2; ++i)
        out += plain[i] + "=" + Value(plain[i]) + "\n";
    for (const Feature* s : selectors)
        out += SelectorLines(*s);
    for (; i < plain.size(); ++i)
        out += plain[i] + "=" + Value(plain[i]) + "\n";
    return out;
}

std::string SaveSettingsFile(const std::string& path)
{
    const std::string text = SettingsFileText();
    imaging::OutputFile file;
    if (!file.Open(path) || !file.Write(text.data(), text.size()) || !file.Commit())
        return "cannot write " +
               (imaging::OutputFile::IsStandardOutput(path) ? std::string("standard output") : cam::Quoted(path)) +
               ": " + file.Error();
    return {};
}
