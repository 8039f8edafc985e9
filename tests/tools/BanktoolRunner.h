// Runs the built banktool in a temporary folder that holds the bank files a
// test writes; shared by the tests of its commands.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

struct ToolRun {
    int exitCode;
    std::string out, err;
};

class BanktoolRunner : public ::testing::Test {
protected:
    inline static const std::string kTool = TOBELIN_RUNTIME_DIR "/banktool";

    void SetUp() override {
        char tmpl[] = "/tmp/tobelin-banktool-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(access(kTool.c_str(), X_OK), 0) << kTool << " is not built";
    }
    void TearDown() override {
        const std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << dir_;
    }
    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    // Measuring commands need a display; the offscreen one serves.
    ToolRun Tool(const std::string& args) {
        const std::string cmd = "LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen '" + kTool + "' " + args + " >'" + dir_ +
                                "/out' 2>'" + dir_ + "/err'";
        const int status = std::system(cmd.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(dir_ + "/out"), Slurp(dir_ + "/err")};
    }
    std::string dir_;
};
