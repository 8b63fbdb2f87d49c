#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "log/logger.h"
#include "test_support.h"

TEST(TeeStream, EveryCharacterReachesBothTargetsEvenWhenOneRefuses) {
    std::ostringstream first;
    std::ostringstream second;
    TeeStream tee(first, second);
    tee << "Add\t" << 1.5 << "\n" << std::flush;
    EXPECT_EQ(first.str(), "Add\t1.5\n");
    EXPECT_EQ(second.str(), "Add\t1.5\n");

    std::filebuf unopened;  // a file buffer without a file refuses every character
    std::ostream refusing(&unopened);
    TeeStream half(refusing, second);
    half << "x";
    EXPECT_EQ(second.str(), "Add\t1.5\nx");
    EXPECT_TRUE(half.bad());
}

TEST(Logger, TruncatesAnExistingLogAndFlushesEachLine) {
    const std::string name = make_scratch_dir() + "/run.log";
    write_file(name, "old content that must go\n");
    Logger logger(name);
    logger.tee << "line one" << std::endl;
    EXPECT_EQ(read_file(name), "line one\n");
    logger.tee << "pending\n";
    logger.close();
    EXPECT_EQ(read_file(name), "line one\npending\n");
}
