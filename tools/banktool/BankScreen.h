// Measures bank texts as the drill's screens draw them: through the
// drill's canvas code on a 640 x 480 bitmap, with its faces, sizes and
// start-up font set-up, under an offscreen application of its own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/banktool/BankCheck.h"

class BankScreen {
public:
    BankScreen();
    ~BankScreen();
    BankScreen(const BankScreen&) = delete;
    BankScreen& operator=(const BankScreen&) = delete;

    // Problems of the set-up rather than of a record: a face that falls
    // back to a font none of its stand-ins name, so that nothing measured
    // would match the drill's screen. UTF-8 messages.
    std::vector<std::string> SetupProblems();

    // What of one complete record (Shift-JIS fields) would not fit its
    // place on screen. UTF-8 messages.
    std::vector<std::string> Check(BankKind kind, const std::vector<std::string>& fields);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
