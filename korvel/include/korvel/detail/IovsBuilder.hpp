#pragma once
// Scatter/gather slot builder. Slots 0 to 3 of a packet belong to the
// protocol layers' headers; callers append their own buffers from slot 4 on.

#include <array>
#include <cstddef>
#include <cstdint>
#include <gsl/span>
#include <stdexcept>

namespace korvel::detail {

template <typename T>
class IovsBuilder {
 public:
  using Span = gsl::span<T>;
  static constexpr std::uint8_t kFirstCallerSlot = 4;

  IovsBuilder(std::size_t slot_count, Span* slots) noexcept : m_slot_count(slot_count), m_slots(slots) {}

  // Puts `buffer` into the next free slot. Throws std::runtime_error
  // "No tailroom available" when every slot is taken.
  IovsBuilder& Append(Span buffer) {
    if (m_next_free >= m_slot_count) {
      throw std::runtime_error("No tailroom available");
    }
    m_slots[m_next_free++] = buffer;
    return *this;
  }

  // Header slots are set by the protocol layers (index below kFirstCallerSlot).
  void SetHeaderSlot(std::size_t index, Span buffer) noexcept { m_slots[index] = buffer; }

  std::size_t SlotCount() const noexcept { return m_slot_count; }
  std::uint8_t FirstCallerSlot() const noexcept { return m_first_caller; }
  std::uint8_t NextFreeSlot() const noexcept { return m_next_free; }
  Span& Slot(std::size_t index) const noexcept { return m_slots[index]; }

  // Bytes in the caller's slots.
  std::size_t CallerBytes() const noexcept {
    std::size_t total = 0;
    for (std::size_t i = m_first_caller; i < m_next_free; ++i) total += m_slots[i].size();
    return total;
  }

 private:
  std::size_t m_slot_count;
  Span* m_slots;
  std::uint8_t m_first_caller = kFirstCallerSlot;
  std::uint8_t m_next_free = kFirstCallerSlot;
};

}  // namespace korvel::detail

namespace korvel {

inline constexpr std::size_t kTxSlots = 7;
inline constexpr std::size_t kRxSlots = 6;

using TxSlotArray = std::array<gsl::span<const std::byte>, kTxSlots>;
using RxSlotArray = std::array<gsl::span<std::byte>, kRxSlots>;

// A builder over the caller's slot array (which must outlive the builder).
// Header slots are cleared so that a fresh builder never sends stale headers.
inline detail::IovsBuilder<const std::byte> MakeTxIovsBuilder(TxSlotArray& slots) noexcept {
  for (std::size_t i = 0; i < detail::IovsBuilder<const std::byte>::kFirstCallerSlot; ++i) slots[i] = {};
  return detail::IovsBuilder<const std::byte>(slots.size(), slots.data());
}
inline detail::IovsBuilder<std::byte> MakeRxIovsBuilder(RxSlotArray& slots) noexcept {
  for (std::size_t i = 0; i < detail::IovsBuilder<std::byte>::kFirstCallerSlot; ++i) slots[i] = {};
  return detail::IovsBuilder<std::byte>(slots.size(), slots.data());
}

}  // namespace korvel
