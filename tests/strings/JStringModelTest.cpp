// JString against its literal model (the one the fuzz target uses), on seeded
// random operation sequences and on the committed fuzz corpus, so that every
// preset, the PowerPC build included, runs the comparison too.
#include "../../fuzz/JStringDriver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

namespace {

TEST(JStringModel, RandomOperationSequencesMatchTheModel)
{
    std::mt19937 random(20240611u);
    std::vector<uint8_t> input(1000);
    for (int run = 0; run < 1000; ++run) {
        for (uint8_t& b : input)
            b = static_cast<uint8_t>(random());
        std::string failure;
        ASSERT_TRUE(JStringDriver(input.data(), input.size()).Run(&failure)) << "run " << run << ": " << failure;
    }
}

TEST(JStringModel, CommittedFuzzCorpusMatchesTheModel)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(JSTRING_FUZZ_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string failure;
        EXPECT_TRUE(JStringDriver(input.data(), input.size()).Run(&failure)) << entry.path() << ": " << failure;
        ++files;
    }
    EXPECT_GT(files, 0);
}

}  // namespace
