// banktool: looks at question-bank files the way the drill reads them.
//   banktool fields FILE   one JSON array of fields per bank line
//   banktool check [--kind four|yomi] [--no-layout] [--table DIR] FILE
//                          every problem of the bank, one a line; with
//                          --table also against the joyo table in DIR
//   banktool stats --table DIR FILE...
//                          figures of the banks against the joyo table
#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/FuncUnit.h"
#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "platform/ShiftJis.h"
#include "text/TextList.h"
#include "tools/banktool/BankCheck.h"
#include "tools/banktool/BankStats.h"
#include "tools/banktool/BankTable.h"
#include "tools/banktool/JoyoTable.h"
#ifdef TOBELIN_BANKTOOL_SCREEN
#include "tools/banktool/BankScreen.h"
#endif

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

struct CheckOptions {
    std::string path;
    std::optional<BankKind> kind;
    bool layout = true;
    std::optional<std::string> tableDir;
};

// Options may stand before or after the file; anything else is a usage
// error.
std::optional<CheckOptions> ParseCheck(const std::vector<std::string>& args) {
    CheckOptions o;
    bool havePath = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--kind" && i + 1 < args.size() && !o.kind) {
            const std::string& k = args[++i];
            if (k == "four")
                o.kind = BankKind::Four;
            else if (k == "yomi")
                o.kind = BankKind::Yomi;
            else
                return std::nullopt;
        } else if (args[i] == "--table" && i + 1 < args.size() && !o.tableDir) {
            o.tableDir = args[++i];
        } else if (args[i] == "--no-layout") {
            o.layout = false;
        } else if (!havePath && !args[i].empty() && args[i][0] != '-') {
            o.path = args[i];
            havePath = true;
        } else {
            return std::nullopt;
        }
    }
    if (!havePath) return std::nullopt;
    if (!o.kind) o.kind = KindFromFileName(o.path);
    if (!o.kind) return std::nullopt;
    return o;
}

int Usage();

// Reads the bank with LoadLines and SplitFields as the drill does and
// prints "FILE:LINE: problem" (or "FILE: problem" for the bank as a whole)
// on standard output. Exits 0 only for a clean bank.
int Check(const std::vector<std::string>& args) {
    const std::optional<CheckOptions> o = ParseCheck(args);
    if (!o) return Usage();
    const std::string sjisPath = Utf8ToSjis(o->path);

    std::vector<BankProblem> problems;
    TStringList lines;
    try {
        LoadLines(lines, sjisPath);
    } catch (const Exception& e) {
        std::printf("%s: %s\n", o->path.c_str(), SjisToUtf8(e.message()).c_str());
        return kExitFailure;
    }
    // LoadLines stops at a zero byte; whatever follows never reaches the
    // drill. The file is read once more to see whether that happened.
    if (const std::optional<int32_t> zero = ZeroByteLine(ReadWholeFile(sjisPath)))
        problems.push_back({*zero, "a zero byte ends the bank here: the drill reads nothing after it"});

    RecordLayoutCheck layout;
#ifdef TOBELIN_BANKTOOL_SCREEN
    std::unique_ptr<BankScreen> screen;
    if (o->layout) {
        screen = std::make_unique<BankScreen>();
        for (std::string& message : screen->SetupProblems()) problems.push_back({0, std::move(message)});
        layout = [&screen, kind = *o->kind](const std::vector<std::string>& fields) {
            return screen->Check(kind, fields);
        };
    }
#else
    if (o->layout) problems.push_back({0, "text sizes not measured: banktool was built without Qt"});
#endif
    std::vector<BankProblem> found = CheckBank(lines.Items(), *o->kind, layout);
    problems.insert(problems.end(), found.begin(), found.end());
    if (o->tableDir) {
        const std::vector<BankProblem> table = CheckBankTable(lines.Items(), *o->kind, JoyoTable::Load(*o->tableDir));
        problems.insert(problems.end(), table.begin(), table.end());
    }
    std::stable_sort(problems.begin(), problems.end(),
                     [](const BankProblem& a, const BankProblem& b) { return a.line < b.line; });

    for (const BankProblem& p : problems) {
        if (p.line == 0)
            std::printf("%s: %s\n", o->path.c_str(), p.message.c_str());
        else
            std::printf("%s:%d: %s\n", o->path.c_str(), int(p.line), p.message.c_str());
    }
    return problems.empty() ? 0 : kExitFailure;
}

// A bank as the drill reads it (.dat, Shift-JIS), or its UTF-8 source (.txt)
// whose lines starting with '#' are comments.
BankFile ReadBank(const std::string& path) {
    const std::optional<BankKind> kind = KindFromFileName(path);
    if (!kind) throw Exception(Utf8ToSjis(path + ": the kind of bank does not follow from the name"));
    BankFile bank{path, *kind, {}};
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".txt") == 0) {
        for (std::string& line : SplitLines(ReadWholeFile(path)))
            if (line.empty() || line[0] != '#') bank.lines.push_back(Utf8ToSjis(line));
    } else {
        TStringList lines;
        LoadLines(lines, Utf8ToSjis(path));
        bank.lines = lines.Items();
    }
    return bank;
}

int Stats(const std::vector<std::string>& args) {
    if (args.size() < 3 || args[0] != "--table") return Usage();
    const JoyoTable table = JoyoTable::Load(args[1]);
    std::vector<BankFile> banks;
    for (size_t i = 2; i < args.size(); ++i) banks.push_back(ReadBank(args[i]));
    for (const std::string& line : BankStats(banks, table)) std::printf("%s\n", line.c_str());
    return 0;
}

struct Command {
    const char* name;
    const char* usage;
    size_t minArgs, maxArgs;
    int (*run)(const std::vector<std::string>& args);
};

constexpr Command kCommands[] = {
    {"fields", "fields FILE    print each bank line's fields as a JSON array", 1, 1, Fields},
    {"check", "check [--kind four|yomi] [--no-layout] [--table DIR] FILE\n"
              "                 report every problem of a bank (the kind follows the name: four*, *yomi*);\n"
              "                 --table DIR also checks it against the joyo table there (banks/joyo)",
     1, 6, Check},
    {"stats", "stats --table DIR FILE...\n"
              "                 figures of the banks (.dat or UTF-8 .txt sources) against the joyo table in DIR",
     3, 64, Stats},
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
        if (args.size() < c.minArgs || args.size() > c.maxArgs) return Usage();
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
