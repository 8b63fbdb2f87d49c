#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "log/logger.h"
#include "test_support.h"

TEST(TeeStream, EveryCharacterReachesBothTargetsAndFlushSyncsBoth) {
    std::ostringstream first;
    std::ostringstream second;
    TeeStream tee(first, second);
    tee << "Add\t" << 1.5 << "\n" << std::flush;
    EXPECT_EQ(first.str(), "Add\t1.5\n");
    EXPECT_EQ(second.str(), "Add\t1.5\n");
}

TEST(TeeStream, RefusingTargetStillFeedsTheOtherAndMarksTheStreamBad) {
    std::filebuf unopened;  // a file buffer without a file refuses every character
    std::ostream refusing(&unopened);
    std::ostringstream second;
    TeeStream tee(refusing, second);
    tee << "x";
    EXPECT_EQ(second.str(), "x");
    EXPECT_TRUE(tee.bad());
}

TEST(Logger, TruncatesAnExistingLogAndReportsAMissingFolder) {
    const std::string dir = make_scratch_dir();
    const std::string name = dir + "/run.log";
    write_file(name, "old content that must go\n");
    {
        Logger logger(name);
        logger.tee << "line one" << std::endl;
        EXPECT_EQ(read_file(name), "line one\n");  // end of line flushes the file
        logger.tee << "pending\n";
        logger.close();
    }
    EXPECT_EQ(read_file(name), "line one\npending\n");

    try {
        Logger missing(dir + "/no/such/folder/run.log");
        FAIL() << "a log in a missing folder must not open";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to open log file: " + dir + "/no/such/folder/run.log");
    }
    EXPECT_FALSE(file_exists(dir + "/no"));
}
