#include <string>
#include <utility>

#include "check.h"
#include "text/utf8_valid.h"

using calvenor::text::utf8_valid;

// The check skips ASCII a word at a time and runs the rest through a DFA word by word: each
// sequence must be judged the same wherever it falls against the words.
TEST(text_utf8_check_is_independent_of_word_boundaries) {
    const std::pair<std::string, bool> cases[] = {
        {"\xC3\xA9", true}, {"\xE2\x82\xAC", true}, {"\xF0\x9F\x98\x80", true}, {"\xE2\x82", false},
        {"\xED\xA0\x80", false}, {"\xF4\x90\x80\x80", false}, {"\xC0\xAF", false}, {"\xFF", false}};
    for (const auto& [seq, valid] : cases)
        for (size_t before = 0; before < 17; ++before)
            for (const size_t after : {0, 1, 7, 8, 17})
                for (const std::string& twice : {std::string(), std::string(after, 'c') + seq})
                    CHECK_EQ(utf8_valid(std::string(before, 'a') + seq + std::string(after, 'b') + twice), valid);
}
