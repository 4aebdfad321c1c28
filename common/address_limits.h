#pragma once
// What each remote address holds (connections, answers being sent, datagrams waiting) against
// a cap per address and a cap in all, so that one address cannot take the room of the others.
// Not locked: the owner's own lock (or its one thread) guards it with what it guards anyway.
// An address is forgotten when it holds nothing, so a stream of addresses costs no memory.
#include <cstddef>
#include <limits>
#include <map>

enum class AddressRoom {
  kTaken,        // counted
  kAllFull,      // the cap in all (or the reserve) is reached
  kAddressFull,  // this address holds its share
};

template <typename Address>
class CAddressLimits {
 public:
  static constexpr size_t kNoCap = std::numeric_limits<size_t>::max();

  // `reserve`: the last part of the cap in all, only for callers that may use it (PCs that are
  // logged on). A cap per address below one still lets each address hold one.
  explicit CAddressLimits(size_t perAddress = kNoCap, size_t inAll = kNoCap, size_t reserve = 0) {
    SetCaps(perAddress, inAll, reserve);
  }
  void SetCaps(size_t perAddress, size_t inAll, size_t reserve = 0) {
    m_perAddress = perAddress;
    m_inAll = inAll;
    m_reserveFrom = reserve >= inAll ? 0 : inAll - reserve;
  }

  bool AddressFull(const Address& address) const {
    const size_t held = Of(address);
    return held > 0 && held >= m_perAddress;
  }
  bool AllFull() const { return m_total >= m_inAll; }
  // Only the reserve is left: a caller without a right to it is refused.
  bool InReserve() const { return m_total >= m_reserveFrom; }

  // The cap in all before the address's own: a full server says so whoever asks.
  AddressRoom Take(const Address& address, bool mayUseReserve = false) {
    if (AllFull() || (!mayUseReserve && InReserve())) return AddressRoom::kAllFull;
    if (AddressFull(address)) return AddressRoom::kAddressFull;
    ++m_held[address];
    ++m_total;
    return AddressRoom::kTaken;
  }
  // Gives back one taken by `address`; one it does not hold is ignored.
  void Release(const Address& address) {
    const auto it = m_held.find(address);
    if (it == m_held.end()) return;
    --m_total;
    if (--it->second == 0) m_held.erase(it);
  }

  size_t Of(const Address& address) const {
    const auto it = m_held.find(address);
    return it == m_held.end() ? 0 : it->second;
  }
  size_t Total() const { return m_total; }

 private:
  std::map<Address, size_t> m_held;  // only addresses holding something
  size_t m_total = 0;
  size_t m_perAddress = kNoCap;
  size_t m_inAll = kNoCap;
  size_t m_reserveFrom = kNoCap;
};
