// The index-tested byte array behind the staging buffer: its values after a resize and a fill,
// writes and ranges across pages, and that only the pages used take memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "app/ByteArray.h"

namespace orlo::test {
namespace {

constexpr std::size_t kPage = CByteArray::kPageSize;

TEST(ByteArray, FillValueHoldsUntilAPageIsWrittenAndOnlyUsedPagesTakeMemory) {
    CByteArray a;
    a.SetSize(8 * kPage + 10);  // a last page that is not whole
    EXPECT_EQ(a.GetAt(0), 0);
    EXPECT_EQ(a.GetAt(a.GetSize() - 1), 0);
    a.SetAt(5, 0x33);
    a.Fill(0xFF);
    EXPECT_EQ(a.GetAt(5), 0xFF);  // the fill covers pages written before it
    EXPECT_EQ(a.TouchedBytes(), 0u);

    a.SetAt(3 * kPage - 1, 0x42);  // the last byte of page 2
    uint8_t* r = a.Range(3 * kPage - 2, 4);  // across pages 2 and 3
    EXPECT_EQ(r[0], 0xFF);
    EXPECT_EQ(r[1], 0x42);
    EXPECT_EQ(r[2], 0xFF);
    r[3] = 0x07;
    EXPECT_EQ(a.GetAt(3 * kPage + 1), 0x07);
    EXPECT_EQ(a.GetAt(7 * kPage), 0xFF);  // reading one byte of an untouched page
    EXPECT_EQ(a.TouchedBytes(), 2 * kPage);

    const uint8_t* tail = a.Range(8 * kPage, 10);
    EXPECT_TRUE(std::all_of(tail, tail + 10, [](uint8_t b) { return b == 0xFF; }));
    const uint8_t* all = a.Range(0, a.GetSize());
    EXPECT_EQ(static_cast<std::size_t>(std::count(all, all + a.GetSize(), uint8_t{0xFF})),
              a.GetSize() - 2);

    a.SetSize(kPage);  // a resize starts again from zeros
    EXPECT_EQ(a.GetAt(kPage - 1), 0);
    EXPECT_EQ(a.TouchedBytes(), 0u);
}

TEST(ByteArray, AccessOutsideTheArrayThrows) {
    CByteArray a;
    a.SetSize(2 * kPage);
    EXPECT_THROW(a.GetAt(2 * kPage), std::invalid_argument);
    EXPECT_THROW(a.SetAt(2 * kPage, 1), std::invalid_argument);
    EXPECT_THROW(a.ElementAt(static_cast<std::size_t>(-1)), std::invalid_argument);
    EXPECT_THROW(a.Range(kPage + 1, kPage), std::invalid_argument);
    EXPECT_THROW(a.Range(2 * kPage + 1, 0), std::invalid_argument);
    EXPECT_NO_THROW(a.Range(2 * kPage, 0));
    EXPECT_EQ(a.TouchedBytes(), 0u);  // nothing refused was paid for
    CByteArray empty;
    EXPECT_THROW(empty.GetAt(0), std::invalid_argument);
}

}  // namespace
}  // namespace orlo::test
