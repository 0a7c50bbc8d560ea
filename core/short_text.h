// Fixed-capacity byte text. Every writer cuts at the capacity, so a field can
// never hold more than its declared size, whatever an input file claims.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace korv {

template <std::size_t N> class ShortText {
public:
  static constexpr std::size_t Capacity = N;

  ShortText() = default;
  ShortText(std::string_view s) { assign(s); } // NOLINT: implicit on purpose
  ShortText(const char* s) { assign(std::string_view(s)); }
  template <std::size_t M> ShortText(const ShortText<M>& o) { assign(o.view()); }

  ShortText& operator=(std::string_view s) {
    assign(s);
    return *this;
  }
  ShortText& operator=(const char* s) {
    assign(std::string_view(s));
    return *this;
  }
  template <std::size_t M> ShortText& operator=(const ShortText<M>& o) {
    assign(o.view());
    return *this;
  }

  void assign(std::string_view s) {
    // The source may alias our own buffer (t = t.view().substr(...)).
    const std::size_t n = std::min(s.size(), N);
    if (n > 0) std::memmove(data_.data(), s.data(), n);
    len_ = n;
  }

  std::string_view view() const { return {data_.data(), len_}; }
  operator std::string_view() const { return view(); } // NOLINT
  std::string str() const { return std::string(view()); }

  std::size_t size() const { return len_; }
  std::size_t length() const { return len_; }
  bool empty() const { return len_ == 0; }
  void clear() { len_ = 0; }

  char operator[](std::size_t i) const { return i < len_ ? data_[i] : '\0'; }
  // Writes inside the current length only; out-of-range writes are ignored.
  void set(std::size_t i, char c) {
    if (i < len_) data_[i] = c;
  }
  char front() const { return len_ ? data_[0] : '\0'; }
  char back() const { return len_ ? data_[len_ - 1] : '\0'; }

  void push_back(char c) {
    if (len_ < N) data_[len_++] = c;
  }
  ShortText& append(std::string_view s) {
    for (char c : s) push_back(c);
    return *this;
  }
  ShortText& operator+=(std::string_view s) { return append(s); }
  ShortText& operator+=(char c) {
    push_back(c);
    return *this;
  }

  // Removes count characters from pos (clamped to the text).
  void erase(std::size_t pos, std::size_t count = std::string_view::npos) {
    if (pos >= len_) return;
    count = std::min(count, len_ - pos);
    std::memmove(data_.data() + pos, data_.data() + pos + count, len_ - pos - count);
    len_ -= count;
  }
  // Inserts s before pos (clamped); characters pushed past the capacity are lost.
  void insert(std::size_t pos, std::string_view s) {
    pos = std::min(pos, len_);
    std::string tmp(view().substr(0, pos));
    tmp.append(s);
    tmp.append(view().substr(pos));
    assign(tmp);
  }
  void resize(std::size_t n, char fill = ' ') {
    n = std::min(n, N);
    for (std::size_t i = len_; i < n; ++i) data_[i] = fill;
    len_ = n;
  }

  std::size_t find(std::string_view s, std::size_t pos = 0) const { return view().find(s, pos); }
  std::size_t find(char c, std::size_t pos = 0) const { return view().find(c, pos); }
  std::string_view substr(std::size_t pos, std::size_t n = std::string_view::npos) const {
    return pos <= len_ ? view().substr(pos, n) : std::string_view();
  }

  friend bool operator==(const ShortText& a, std::string_view b) { return a.view() == b; }
  template <std::size_t M> friend bool operator==(const ShortText& a, const ShortText<M>& b) {
    return a.view() == b.view();
  }

private:
  std::array<char, N> data_{};
  std::size_t len_ = 0;
};

using Text = ShortText<255>;

} // namespace korv
