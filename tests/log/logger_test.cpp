#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <stdexcept>
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

    // A target that refuses (a full disk, a closed console) silences neither the other target
    // nor the stream; only when both refuse does the stream go bad.
    std::filebuf unopened;  // a file buffer without a file refuses every character
    std::ostream refusing(&unopened);
    std::ostringstream console;
    TeeStream half(refusing, console);
    half << "x" << std::endl << "y" << std::flush;
    EXPECT_EQ(console.str(), "x\ny");
    EXPECT_TRUE(half.good());
    EXPECT_TRUE(half.tee_buffer().first_failed());
    EXPECT_FALSE(half.tee_buffer().second_failed());
    std::filebuf unopened_too;
    std::ostream refusing_too(&unopened_too);
    TeeStream none(refusing, refusing_too);
    none << "z";
    EXPECT_TRUE(none.bad());
}

TEST(Logger, ALogOnAFullDeviceIsReportedWithItsNameAndReason) {
    const std::string name = make_scratch_dir() + "/run.log";
    ASSERT_EQ(::symlink("/dev/full", name.c_str()), 0);
    Logger logger(name);
    EXPECT_EQ(logger.write_failure(), "");  // nothing written yet
    logger.tee << "a line" << std::endl;
    const std::string failure = logger.write_failure();
    EXPECT_NE(failure.find(name), std::string::npos) << failure;
    EXPECT_NE(failure.find("No space left on device"), std::string::npos) << failure;
    EXPECT_THROW(logger.ensure_written(), std::runtime_error);
}
