// The tools on real users' files: names that are the system's bytes
// (Japanese, accented letters, emoji, spaces, a leading dash), and outputs
// that are replaced only when complete, whatever stops the tool.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kPngconv = TOBELIN_RUNTIME_DIR "/pngconv";
const std::string kBanktool = TOBELIN_RUNTIME_DIR "/banktool";
const std::string kSuite = TOBELIN_TESTDATA_DIR "/pngsuite";
const std::string kOld = "the old picture, byte for byte";

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void Put(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

struct ToolRun {
    int Status = -1;  // exit status, or -1 when killed
    int Signal = 0;   // the signal that ended it
    std::string Err;
};

// How a tool is started: in which folder, and with a limit on the size of
// the files it may write (writes past it fail with EFBIG).
struct Start {
    fs::path Folder;
    rlim_t FileSizeLimit = RLIM_INFINITY;
};

class FileSafety : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tobelin-files-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        Dir = tmpl;
        ASSERT_EQ(access(kPngconv.c_str(), X_OK), 0);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }

    pid_t Spawn(const std::string& program, const std::vector<std::string>& args, const Start& how) {
        const std::string err = (Dir.string() + ".err");
        const pid_t pid = fork();
        if (pid == 0) {
            if (!how.Folder.empty() && chdir(how.Folder.c_str()) != 0) _exit(126);
            if (how.FileSizeLimit != RLIM_INFINITY) {
                const rlimit limit{how.FileSizeLimit, how.FileSizeLimit};
                setrlimit(RLIMIT_FSIZE, &limit);
                signal(SIGXFSZ, SIG_IGN);
            }
            const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 2);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            setenv("LC_ALL", "C.UTF-8", 1);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        return pid;
    }
    ToolRun Wait(pid_t pid) {
        ToolRun r;
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return r;
        if (WIFEXITED(status)) r.Status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) r.Signal = WTERMSIG(status);
        r.Err = Slurp(Dir.string() + ".err");
        fs::remove(Dir.string() + ".err");
        return r;
    }
    ToolRun Tool(const std::string& program, const std::vector<std::string>& args, const Start& how = {}) {
        return Wait(Spawn(program, args, how));
    }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(Dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path Dir;
};

const char* const kNames[] = {"写真", "café", "emoji-🐱", "with space", "-dash"};

TEST_F(FileSafety, PngconvTakesAnyNameAndReplacesAnExistingFile) {
    for (const std::string name : kNames) {
        SCOPED_TRACE(name);
        fs::copy_file(kSuite + "/basn2c08.png", Dir / (name + ".png"), fs::copy_options::overwrite_existing);
        Put(Dir / "既存.png", kOld);
        ToolRun r = Tool(kPngconv, {"--", name + ".png", name + ".bmp"}, {Dir});
        ASSERT_EQ(r.Status, 0) << r.Err;
        r = Tool(kPngconv, {"--", name + ".bmp", "既存.png"}, {Dir});
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_EQ(Slurp(Dir / "既存.png").substr(1, 3), "PNG");
        std::vector<std::string> expected{name + ".bmp", name + ".png", "既存.png"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Files(), expected) << "a stray or misnamed file";
        for (const std::string& f : Files()) fs::remove(Dir / f);
    }
}

TEST_F(FileSafety, BanktoolTakesAnyName) {
    for (const std::string name : kNames) {
        SCOPED_TRACE(name);
        Put(Dir / (name + ".dat"), "a,b\r\n");
        const ToolRun r = Tool(kBanktool, {"fields", "--", name + ".dat"}, {Dir});
        EXPECT_EQ(r.Status, 0) << r.Err;
    }
}

// A replaced file keeps its mode, and a link is written through to its
// target, which stays a link.
TEST_F(FileSafety, ReplacingKeepsTheModeAndWritesThroughLinks) {
    Put(Dir / "real.png", kOld);
    ASSERT_EQ(chmod((Dir / "real.png").c_str(), 0640), 0);
    fs::create_symlink("real.png", Dir / "link.png");
    const ToolRun r = Tool(kPngconv, {kSuite + "/basn2c08.png", (Dir / "link.png").string()});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_TRUE(fs::is_symlink(Dir / "link.png"));
    EXPECT_EQ(Slurp(Dir / "real.png").substr(1, 3), "PNG");
    struct stat st {};
    ASSERT_EQ(stat((Dir / "real.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Files(), (std::vector<std::string>{"link.png", "real.png"}));
}

TEST_F(FileSafety, FailedConversionKeepsTheOldFile) {
    struct Case {
        const char* name;
        std::string input;
        rlim_t limit;
        const char* reason;  // in the message, when the system gave one
    } cases[] = {
        {"broken input", kSuite + "/xc1n0g08.png", RLIM_INFINITY, ""},
        {"missing input", (Dir / "none.png").string(), RLIM_INFINITY, "No such file or directory"},
        {"disk full", kSuite + "/basn2c16.png", 300, "File too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Put(Dir / "既存.png", kOld);
        const ToolRun r = Tool(kPngconv, {c.input, (Dir / "既存.png").string()}, {{}, c.limit});
        EXPECT_EQ(r.Status, 1) << r.Err;
        EXPECT_NE(r.Err.find(c.reason), std::string::npos) << r.Err;
        EXPECT_EQ(Slurp(Dir / "既存.png"), kOld);
        EXPECT_EQ(Files(), (std::vector<std::string>{"既存.png"}));
    }
}

// Noise that compresses slowly, so that the tool is still writing when
// the signal comes.
void WriteNoisePam(const fs::path& path, int side) {
    std::string data = "P7\nWIDTH " + std::to_string(side) + "\nHEIGHT " + std::to_string(side) +
                       "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    std::mt19937 random(7);
    for (int i = 0; i < side * side; ++i) {
        const uint32_t v = random();
        data.append(reinterpret_cast<const char*>(&v), 4);
    }
    Put(path, data);
}

TEST_F(FileSafety, SignalDuringTheWriteKeepsTheOldFile) {
    const fs::path input = Dir.string() + ".pam";
    WriteNoisePam(input, 1536);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        Put(Dir / "既存.png", kOld);
        const pid_t pid = Spawn(kPngconv, {input.string(), (Dir / "既存.png").string(), "--level", "9"}, {});
        // The temporary file appears once the picture is read and the
        // encoder starts writing.
        bool writing = false;
        for (int i = 0; i < 20000 && !writing; ++i) {
            writing = Files().size() > 1;
            if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(writing) << "never saw the temporary file";
        kill(pid, sig);
        const ToolRun r = Wait(pid);
        EXPECT_EQ(r.Signal, sig) << "status " << r.Status << " " << r.Err;
        EXPECT_EQ(Slurp(Dir / "既存.png"), kOld);
        EXPECT_EQ(Files(), (std::vector<std::string>{"既存.png"}));
    }
    fs::remove(input);
}

// The conventional command line: --opt=value, '-' for standard input and
// (with --format) standard output, --version, one exit-code scheme.
TEST_F(FileSafety, PngconvCommandLine) {
    const std::string tool = "'" + kPngconv + "' ";
    const std::string png = kSuite + "/basn2c08.png";
    const std::string out = " >'" + Dir.string() + ".out' 2>/dev/null";
    struct Case {
        const char* name;
        std::string command;
        int status;
        std::string outStart;
    } cases[] = {
        {"version", tool + "--version", 0, "pngconv "},
        {"--opt=value", tool + "--level=5 '" + png + "' '" + (Dir / "a.png").string() + "'", 0, ""},
        {"standard input to standard output", "cat '" + png + "' | " + tool + "--format=bmp - -", 0, "BM"},
        {"standard output needs a format", tool + "'" + png + "' -", 2, ""},
        {"info into a full disk", tool + "--info '" + png + "' >/dev/full", 1, ""},
        {"usage error", tool + "--level", 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool full = c.command.find("/dev/full") != std::string::npos;
        const int status = std::system((c.command + (full ? " 2>/dev/null" : out)).c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        if (!full) { EXPECT_EQ(Slurp(Dir.string() + ".out").rfind(c.outStart, 0), 0u); }
    }
    fs::remove(Dir.string() + ".out");
}

}  // namespace
