// Arguments separated by NUL bytes go through the option parser: it must either fill the
// option record or refuse with a message, never crash.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/app.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words = {"Zelkora"};
    std::string word;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    words.push_back(word);
    std::vector<const char*> argv;
    for (const std::string& w : words) {
        argv.push_back(w.c_str());
    }
    try {
        const RunOptions options = parse_command_line(static_cast<int>(argv.size()), argv.data());
        for (int column : options.covar_pos) {
            if (column < 0) {
                __builtin_trap();  // covariate columns are checked to be >= 1 on input
            }
        }
    } catch (const std::invalid_argument& error) {
        if (std::string(error.what()).rfind("❎ Error: ", 0) != 0) {
            __builtin_trap();
        }
    }
    return 0;
}
