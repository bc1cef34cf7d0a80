#include "hosts/common/stream_reassembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hosts/common/engine/unacknowledged_bytes.h"

namespace quillnest::hosts {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Takes everything deliverable after each insert and glues it together, as the engine does.
// Every split and order of a stream is the reassembly fuzzer's (against a first-wins model).
struct Collector {
  StreamReassembler stream;
  Bytes out;
  void add(std::int64_t offset, const Bytes& bytes) {
    ASSERT_TRUE(stream.insert(offset, bytes));
    const Bytes taken = stream.take();
    out.insert(out.end(), taken.begin(), taken.end());
  }
};

TEST(StreamReassembler, OverlapsKeepTheFirstBytes) {
  struct Row {
    std::string name;
    std::vector<std::pair<std::int64_t, std::string>> segments;
    std::string expected;
    bool conflicted = false;  // a later copy differed from a byte still kept
  };
  const std::vector<Row> rows = {
      // Taken bytes are forgotten: nothing left to differ from.
      {"later_copy_of_taken_bytes_ignored", {{0, "abcd"}, {0, "XXXXef"}}, "abcdef"},
      {"held_piece_wins_over_later_overlap",
       {{4, "efgh"}, {2, "XXXXXXij"}, {0, "ab"}},
       "abXXefghij",
       true},
      {"same_bytes_over_held_piece", {{4, "efgh"}, {2, "cdefghij"}, {0, "ab"}}, "abcdefghij"},
      {"overlap_spanning_two_held_pieces",
       {{2, "cd"}, {6, "gh"}, {0, "abXXefXXij"}},
       "abcdefghij",
       true},
      {"gap_filled_last", {{5, "fgh"}, {0, "abc"}, {3, "de"}}, "abcdefgh"},
      {"retransmit_is_noop", {{0, "abc"}, {0, "abc"}, {3, "def"}, {3, "def"}}, "abcdef"},
      {"segment_inside_held_piece", {{2, "cdefg"}, {3, "X"}, {0, "ab"}}, "abcdefg", true},
      {"negative_offset_clipped", {{-1, "Sabc"}}, "abc"},
      {"wholly_before_stream", {{-4, "SSSS"}, {0, "a"}}, "a"},
  };
  for (const Row& row : rows) {
    Collector c;
    for (const auto& [offset, text] : row.segments) c.add(offset, Bytes(text.begin(), text.end()));
    EXPECT_EQ(std::string(c.out.begin(), c.out.end()), row.expected) << row.name;
    EXPECT_EQ(c.stream.taken(), row.expected.size()) << row.name;
    EXPECT_EQ(c.stream.conflicted(), row.conflicted) << row.name;
    EXPECT_EQ(c.stream.buffered() + c.stream.contiguousAvailable(), 0u) << row.name;
  }
}

TEST(StreamReassembler, RefusesSegmentsBeyondTheWindow) {
  StreamReassembler s(100);
  EXPECT_TRUE(s.fits(90, 10));
  EXPECT_FALSE(s.fits(95, 10));
  EXPECT_TRUE(s.insert(90, Bytes(10, 1)));
  EXPECT_FALSE(s.insert(95, Bytes(10, 1)));
  EXPECT_EQ(s.buffered(), 10u);
  EXPECT_TRUE(s.insert(0, Bytes(90, 0)));
  EXPECT_EQ(s.take().size(), 100u);
  EXPECT_TRUE(s.insert(195, Bytes(5, 1)));  // the window moves with what was taken
}

// Bytes beyond a gap are forgotten from an offset on, a piece across it cut there; the rest and
// what comes after stay as they were.
// Ten bytes of 1 at 0, of 2 at 20 and of 3 at 40.
StreamReassembler threePieces() {
  StreamReassembler s(1000);
  EXPECT_TRUE(s.insert(0, Bytes(10, 1)));
  EXPECT_TRUE(s.insert(20, Bytes(10, 2)));
  EXPECT_TRUE(s.insert(40, Bytes(10, 3)));
  return s;
}

TEST(StreamReassembler, ForgetsFromAnOffset) {
  StreamReassembler s = threePieces();
  s.forgetFrom(25);
  EXPECT_EQ(s.buffered(), 15u);
  EXPECT_EQ(s.take(), Bytes(10, 1));
  ASSERT_TRUE(s.insert(10, Bytes(10, 4)));
  ASSERT_TRUE(s.insert(25, Bytes(5, 4)));  // other bytes where forgotten ones were: no conflict
  EXPECT_FALSE(s.conflicted());
  Bytes expected(10, 4);
  expected.insert(expected.end(), 5, 2);
  expected.insert(expected.end(), 5, 4);
  EXPECT_EQ(s.take(), expected);
  s.forgetFrom(0);  // below what was taken: nothing kept is left
  EXPECT_EQ(s.buffered(), 0u);
}

// Skipped bytes count as taken, kept or not; a piece across the point keeps its rest, and copies
// of skipped bytes are neither kept nor compared.
TEST(StreamReassembler, SkipsToAnOffset) {
  StreamReassembler s = threePieces();
  s.skipTo(25);
  EXPECT_EQ(s.taken(), 25u);
  EXPECT_EQ(s.buffered(), 15u);
  ASSERT_TRUE(s.insert(15, Bytes(10, 9)));  // other bytes where skipped ones were
  EXPECT_FALSE(s.conflicted());
  EXPECT_EQ(s.take(), Bytes(5, 2));
  s.skipTo(45);
  EXPECT_EQ(s.take(), Bytes(5, 3));
  s.skipTo(10);  // behind what was taken: nothing moves
  EXPECT_EQ(s.taken(), 50u);
  s.skipTo(1'000'000);  // far ahead: the window moves along
  EXPECT_TRUE(s.insert(1'000'990, Bytes(10, 4)));
  EXPECT_EQ(s.buffered(), 10u);
}

// Read bytes the server has not acknowledged: a copy agrees where it overlaps them, acknowledged
// bytes are let go, and a copy that reaches into bytes forgotten past the limit cannot agree.
TEST(UnacknowledgedBytes, ComparesCopiesUntilAcknowledged) {
  struct Op {
    std::int64_t offset;
    std::string bytes;  // kept; empty: the server acknowledged up to offset
  };
  struct Row {
    std::string name;
    std::vector<Op> ops;
    std::int64_t copyAt;
    std::string copy;
    bool agrees;
    bool empty = false;
  };
  const std::string many(20000, 'm');
  const std::vector<Row> rows = {
      {"same_bytes", {{0, "abcdef"}}, 2, "cd", true},
      {"other_bytes", {{0, "abcdef"}}, 2, "xd", false},
      {"past_the_kept_end", {{0, "abc"}}, 3, "zzz", true},
      {"before_the_stream", {{0, "abc"}}, -2, "zzab", true},
      {"across_a_gap_between_runs", {{0, "abc"}, {10, "xyz"}}, 2, "c_______xy", true},
      {"other_bytes_in_the_second_run", {{0, "abc"}, {10, "xyz"}}, 2, "c_______xQ", false},
      {"acknowledged_bytes_let_go", {{0, "abcdef"}, {4, ""}}, 0, "zzzzef", true},
      {"acknowledged_mid_run", {{0, "abcdef"}, {4, ""}}, 0, "zzzzeQ", false},
      {"all_acknowledged", {{0, "abc"}, {10, "xyz"}, {13, ""}}, 0, "QQQQQQQQQQQQQ", true, true},
      {"kept_behind_the_acknowledgment", {{5, ""}, {0, "abcdefgh"}}, 0, "QQQQQfgh", true},
      {"same_bytes_forgotten", {{0, many}}, 0, "mm", false},
      {"forgotten_then_acknowledged", {{0, many}, {19999, ""}}, 19999, "m", true},
      {"forgotten_then_acknowledged_other", {{0, many}, {19999, ""}}, 19999, "Q", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    UnacknowledgedBytes kept(16);
    for (const Op& op : row.ops) {
      if (op.bytes.empty()) {
        kept.acknowledged(op.offset);
      } else {
        const Bytes bytes(op.bytes.begin(), op.bytes.end());
        kept.keep(static_cast<std::uint64_t>(op.offset), bytes);
      }
    }
    const Bytes copy(row.copy.begin(), row.copy.end());
    EXPECT_EQ(kept.agrees(row.copyAt, copy), row.agrees);
    EXPECT_EQ(kept.empty(), row.empty);
  }
}

}  // namespace
}  // namespace quillnest::hosts
