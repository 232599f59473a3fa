// The camera sources this library knows, and the parsing of TARVIK_CAMERAS.
#include "camsource.h"

#include <cstring>

namespace cam {

const std::vector<SourceKind>& SourceKinds()
{
    static const std::vector<SourceKind> kinds = {
        {"sim", false, CreateSimSource},
        {"aravis", false, CreateAravisSource},
        {"aravis-fake", false, CreateAravisFakeSource},
        {"gige", true, CreateGigeSource},
    };
    return kinds;
}

static std::string Trim(const std::string& s)
{
    const char* ws = " \t";
    size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

static std::string KnownNames()
{
    std::string names;
    for (const SourceKind& kind : SourceKinds()) {
        if (!names.empty())
            names += ", ";
        names += kind.name;
        if (kind.takesArgument)
            names += ":ARG";
    }
    return names;
}

CamError CreateSources(const char* value, std::vector<NamedSource>* sources, std::string* error)
{
    std::string text = (value && *value) ? value : "sim";
    sources->clear();
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            comma = text.size();
        std::string item = Trim(text.substr(pos, comma - pos));
        pos = comma + 1;
        if (item.empty()) {
            *error = "TARVIK_CAMERAS: empty source name in " + Quoted(text);
            return CAM_ERR_BAD_CONFIG;
        }
        size_t colon = item.find(':');
        std::string name = item.substr(0, colon);
        std::string argument = colon == std::string::npos ? "" : item.substr(colon + 1);
        const SourceKind* match = nullptr;
        for (const SourceKind& kind : SourceKinds())
            if (name == kind.name)
                match = &kind;
        if (!match) {
            *error = "TARVIK_CAMERAS: unknown camera source " + Quoted(name) + " (known: " +
                     KnownNames() + ")";
            return CAM_ERR_BAD_CONFIG;
        }
        if (match->takesArgument != (colon != std::string::npos) ||
            (match->takesArgument && argument.empty())) {
            *error = std::string("TARVIK_CAMERAS: source \"") + match->name +
                     (match->takesArgument ? "\" needs an argument: " + name + ":ARG"
                                           : "\" takes no argument");
            return CAM_ERR_BAD_CONFIG;
        }
        std::unique_ptr<Source> source = match->create(argument, error);
        if (!source)
            return CAM_ERR_BAD_CONFIG;
        sources->push_back({item, std::move(source)});
    }
    return CAM_OK;
}

}  // namespace cam
