#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "log/logger.h"
#include "test_support.h"

TEST(Logger, TruncatesAnExistingLogFlushesEachLineAndKeepsTheConsoleWhenTheFileRefuses) {
    const std::string name = make_scratch_dir() + "/run.log";
    write_file(name, "old content that must go\n");
    Logger logger(name);
    logger.tee << "line one" << std::endl;
    EXPECT_EQ(read_file(name), "line one\n");
    logger.tee << "pending\n";
    logger.close();
    EXPECT_EQ(read_file(name), "line one\npending\n");

    std::filebuf unopened;  // a file buffer without a file refuses every character
    std::ostream refusing(&unopened);
    std::ostringstream console;
    TeeStream half(refusing, console);
    half << "x";
    EXPECT_EQ(console.str(), "x");
    EXPECT_TRUE(half.bad());
}
