// The hash index of names the output layer finds dynamics by: exact or
// without regard to case, growing as names come, never copying them.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "host/output/name_index.h"

namespace
{

using vdq::NameIndex;

struct At {
    const std::vector<std::string>* v;
    std::string_view operator()(size_t i) const { return (*v)[i]; }
};

TEST(NameIndex, FindsEachNameAmongManyExactlyOrWithoutCase)
{
    std::vector<std::string> names;
    for (int k = 0; k < 5000; ++k)
        names.push_back((k % 2 ? "NObs" : "LowerMedian") + std::to_string(k));
    NameIndex exact(false), folded(true);
    exact.reserve(10, At{&names}); // grows past what was reserved
    for (size_t i = 0; i < names.size(); ++i) {
        exact.add(i, At{&names});
        folded.add(i, At{&names});
    }
    for (size_t i = 0; i < names.size(); i += 7) {
        EXPECT_EQ(exact.find(names[i], At{&names}), i);
        std::string upper = names[i];
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(exact.find(upper, At{&names}), NameIndex::kNone);
        EXPECT_EQ(folded.find(upper, At{&names}), i);
    }
    EXPECT_EQ(exact.find("NObs", At{&names}), NameIndex::kNone);
    EXPECT_EQ(NameIndex(true).find("x", At{&names}), NameIndex::kNone);
    // Only ASCII letters fold: other bytes compare as they are.
    std::vector<std::string> other = {"\xC3\xA9t\xC3\xA9", "A_1"};
    NameIndex f(true);
    f.add(0, At{&other});
    f.add(1, At{&other});
    EXPECT_EQ(f.find("\xC3\xA9T\xC3\xA9", At{&other}), 0u);
    EXPECT_EQ(f.find("\xC3\x89T\xC3\x89", At{&other}), NameIndex::kNone);
    EXPECT_EQ(f.find("a_1", At{&other}), 1u);
}

} // namespace
