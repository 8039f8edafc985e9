// banktool: looks at question-bank files the way the drill reads them.
//   banktool fields FILE   one JSON array of fields per bank line
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "app/FuncUnit.h"
#include "platform/Exceptions.h"
#include "platform/ShiftJis.h"
#include "text/TextList.h"

namespace {

// Exit codes: 0 done, 1 the work failed, 2 the command line was wrong.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    for (const char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (b < 0x20 || b == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", b);
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string JsonArray(const TStringList& list) {
    std::string out = "[";
    for (size_t i = 0; i < list.Items().size(); ++i) {
        if (i != 0) out += ",";
        out += JsonString(SjisToUtf8(list.Items()[i]));
    }
    return out + "]";
}

// Every line is split into one list that lives across lines, as the
// drill's field list does: an empty line leaves the previous fields.
int Fields(const std::vector<std::string>& args) {
    TStringList lines;
    LoadLines(lines, Utf8ToSjis(args[0]));
    TStringList fields;
    for (const std::string& line : lines.Items()) {
        SplitFields(line, ',', fields);
        std::printf("%s\n", JsonArray(fields).c_str());
    }
    return 0;
}

struct Command {
    const char* name;
    const char* usage;
    size_t argCount;
    int (*run)(const std::vector<std::string>& args);
};

constexpr Command kCommands[] = {
    {"fields", "fields FILE    print each bank line's fields as a JSON array", 1, Fields},
};

int Usage() {
    std::fprintf(stderr, "usage: banktool COMMAND ARGS...\n");
    for (const Command& c : kCommands) std::fprintf(stderr, "  banktool %s\n", c.usage);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string_view name = argv[1];
    for (const Command& c : kCommands) {
        if (name != c.name) continue;
        const std::vector<std::string> args(argv + 2, argv + argc);
        if (args.size() != c.argCount) return Usage();
        try {
            return c.run(args);
        } catch (const Exception& e) {
            std::fprintf(stderr, "%s\n", SjisToUtf8(e.message()).c_str());
            return kExitFailure;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "banktool: %s\n", e.what());
            return kExitFailure;
        }
    }
    std::fprintf(stderr, "banktool: unknown command \"%s\"\n", argv[1]);
    return Usage();
}
