// The descriptor owner: closes what it owns exactly once, gives it up on
// release, hands it over on move.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <ketra/fnd/posix/UniqueFd.hpp>

#include <utility>

namespace {

using ketra::fnd::UniqueFd;

bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFd, ClosesOnceAndHandsOverOnMove) {
  int first = -1;
  {
    UniqueFd owner(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    first = owner.Get();
    ASSERT_TRUE(owner.Valid());
    UniqueFd moved(std::move(owner));
    EXPECT_FALSE(owner.Valid());
    EXPECT_EQ(moved.Get(), first);
    EXPECT_TRUE(IsOpen(first));

    // Assigning another owner closes the descriptor held before.
    UniqueFd other(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int second = other.Get();
    moved = std::move(other);
    EXPECT_FALSE(IsOpen(first));
    EXPECT_EQ(moved.Get(), second);
    first = second;
  }
  EXPECT_FALSE(IsOpen(first));

  // A released descriptor stays open and is the caller's.
  UniqueFd released(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int kept = released.Release();
  EXPECT_FALSE(released.Valid());
  EXPECT_TRUE(IsOpen(kept));
  ::close(kept);
}

}  // namespace
