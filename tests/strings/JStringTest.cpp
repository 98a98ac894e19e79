// SPDX-License-Identifier: MIT
// JString against its literal model (also the fuzz target's) on seeded random operation sequences and on
// the committed corpus; then what the model leaves out: printing.
#include "JStringDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

bool Matches(const std::vector<uint8_t>& in, std::string* why) { return JStringDriver(in.data(), in.size()).Run(why); }

TEST(JStringModel, RandomOperationSequencesMatchTheModel)
{
    std::mt19937 random(20240611u);
    std::vector<uint8_t> input(1000);
    for (int run = 0; run < 1000; ++run) {
        std::generate(input.begin(), input.end(), [&random] { return static_cast<uint8_t>(random()); });
        std::string failure;
        ASSERT_TRUE(Matches(input, &failure)) << "run " << run << ": " << failure;
    }
}

// The corpus installed beside the test programs (an on-target run), else the
// one in the source tree.
std::filesystem::path Corpus()
{
    std::error_code ignored;
    const auto installed =
        std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path() / "../data/jstring_fuzz";
    return std::filesystem::is_directory(installed, ignored) ? installed : JSTRING_FUZZ_CORPUS;
}

TEST(JStringModel, CommittedFuzzCorpusMatchesTheModel)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Corpus())) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string failure;
        EXPECT_TRUE(Matches({std::istreambuf_iterator<char>(in), {}}, &failure)) << entry.path() << failure;
        ++files;
    }
    EXPECT_GT(files, 0);
}

// Catches a print that formats its text, or a println that doubles or drops the line feed.
TEST(JString, PrintlnEndsWithOneLineFeed)
{
    const struct { const char* text; bool line; const char* want; } prints[] = {
        {"x%sy", false, "x%sy"}, {"", false, ""}, {"x", true, "x\n"}, {"x\n", true, "x\n"},
        {"x\n\n", true, "x\n\n"}, {"", true, "\n"}, {"a\n#b", true, "a\n"}};  // the printed text ends in a line feed
    for (const auto& p : prints) {
        SCOPED_TRACE(testing::Message() << (p.line ? "println \"" : "print \"") << p.text << '"');
        JString s(p.text);
        s.Replace('#', '\0');
        testing::internal::CaptureStdout();
        p.line ? s.println() : s.print();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), p.want);
    }
}

}  // namespace
