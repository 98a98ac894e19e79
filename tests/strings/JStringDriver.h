// SPDX-License-Identifier: MIT
// JStringDriver: reads a sequence of JString operations from raw bytes, applies each to three JString slots and
// to their PlainString models alike, and compares every result, every text byte and every length. Used by the
// libFuzzer target and by a seeded differential unit test.
#pragma once

#include "PlainString.h"

#include <fieldkit/strings/JString.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

class JStringDriver {
public:
    JStringDriver(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    // Runs every operation the bytes describe. False at the first difference, described in *failure.
    bool Run(std::string* failure)
    {
        while (pos_ < size_ && failure_.empty()) {
            Step();
            for (Pair& p : slots_)  // the model is quadratic: its texts stay short
                if (p.real.GetLength() > kMaxLength)
                    Both("trim Delete", p, p, [](auto& x, auto&) { return x.Delete(kMaxLength / 2, -1); });
        }
        *failure = failure_;
        return failure_.empty();
    }

private:
    struct Pair {
        JString real;
        PlainString model;
    };

    static constexpr int kMaxLength = 400;

    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    // Mostly characters that the operations care about, sometimes any byte.
    char Char()
    {
        static const char kAlphabet[12] = {'a', 'b', ' ', '\t', '\n', '\r', '\0', 'A', 'B', '%', 'c', 'x'};
        const uint8_t b = Byte();
        return b >= 0xF0 ? static_cast<char>(Byte()) : kAlphabet[b % 12];
    }

    // A C text of up to 15 characters (a NUL drawn ends it).
    std::string Text()
    {
        std::string t;
        for (int n = Byte() % 16; n > 0; --n)
            t += Char();
        return t.c_str();
    }

    // Positions and counts: mostly small, a quarter negative or extreme.
    int Number()
    {
        static const int kEdges[6] = {-1, -2, -3, INT_MAX, INT_MIN, -1};
        const uint8_t b = Byte();
        return b < 64 ? kEdges[b % 6] : b % 24;
    }

    static std::string Shown(const char* bytes, int length)  // other than printable bytes as <decimal>
    {
        std::string out;
        for (int i = 0; bytes && i < length; ++i) {
            const unsigned char b = static_cast<unsigned char>(bytes[i]);
            out += std::isprint(b) ? std::string(1, static_cast<char>(b)) : "<" + std::to_string(b) + ">";
        }
        return out;
    }

    // Records the first difference: same length, same bytes up to and including the NUL (shown too).
    void Same(const char* what, const JString& real, const PlainString& model)
    {
        const int n = real.GetLength();
        if (failure_.empty() && (n != model.length || !real.GetBuffer() ||
                                 std::memcmp(real.GetBuffer(), model.block.data(), n + 1u) != 0))
            failure_ = std::string(what) + ": real \"" + Shown(real.GetBuffer(), n + 1) + "\", model \"" +
                       Shown(model.block.data(), model.length + 1) + "\"";
    }

    // Applies op to the real strings and to the models alike, then compares what it gave (nothing, a number
    // or a string) and the receivers.
    template <typename Op>
    void Both(const char* what, Pair& s, Pair& o, Op op)
    {
        using Result = std::decay_t<decltype(op(s.real, o.real))>;
        if constexpr (std::is_same_v<Result, JString>) {
            Same(what, op(s.real, o.real), op(s.model, o.model));
        } else if constexpr (std::is_void_v<Result>) {
            op(s.real, o.real), op(s.model, o.model);
        } else {
            const long long real = op(s.real, o.real), model = op(s.model, o.model);
            if (real != model && failure_.empty())
                failure_ = std::string(what) + " gave " + std::to_string(real) + ", model " + std::to_string(model);
        }
        Same(what, s.real, s.model);
    }

    // Applies the which-th of the (name, operation) pairs as Both does.
    template <typename Op, typename... Rest>
    void OneOf(int which, Pair& s, Pair& o, const char* name, Op op, Rest... rest)
    {
        if (which == 0)
            Both(name, s, o, op);
        else if constexpr (sizeof...(rest) > 0)
            OneOf(which - 1, s, o, rest...);
    }

    template <typename S, typename A>
    static S Like(const S&, const A& a)  // a new string of the same kind as the first argument
    {
        return S(a);
    }

    static int Sign(int v) { return (v > 0) - (v < 0); }

    // The eighteen comparison operators as bits: with a string, with a C text, with the C text first.
    static long long Compared(const JString& a, const JString& b, const char* t)
    {
        const int r[18] = {a == b, a != b, a < b,  a > b,  a <= b, a >= b, a == t, a != t, a < t,
                           a > t,  a <= t, a >= t, t == a, t != a, t < a,  t > a,  t <= a, t >= a};
        long long bits = 0;
        for (int i = 0; i < 18; ++i)
            bits |= static_cast<long long>(r[i] != 0) << i;
        return bits;
    }
    // The model's: strcmp of the C texts; each comparison with a null text is false.
    static long long Compared(const PlainString& a, const PlainString& b, const char* t)
    {
        const int d = t ? std::strcmp(a.GetBuffer(), t) : 0;
        return Holds(std::strcmp(a.GetBuffer(), b.GetBuffer())) | (t ? Holds(d) << 6 | Holds(-d) << 12 : 0);
    }
    static long long Holds(int d)  // ==, !=, <, >, <=, >= of a strcmp result as bits 0..5
    {
        return (d == 0) | (d != 0) << 1 | (d < 0) << 2 | (d > 0) << 3 | (d <= 0) << 4 | (d >= 0) << 5;
    }

    void Step()
    {
        Pair& s = slots_[Byte() % 3];
        Pair& o = slots_[Byte() % 3];
        const int which = Byte() % 47;
        const uint8_t flags = Byte();
        const std::string t = Text();
        const char* p = t.c_str();
        const char* text = flags % 8 ? p : nullptr;  // sometimes null
        const char* none = nullptr;
        const char c = Char(), d = Char();
        const int a = Number(), b = Number();
        const unsigned char including = flags / 8 % 2;
        const bool small = s.real.GetLength() * std::max(1, o.real.GetLength()) <= 4 * kMaxLength;
        Queries(s, o, c, a, b, text);
        if (which >= 42)  // embedded NUL bytes come from a lone NUL and from in-place replacement
            return Both("Replace(char, NUL)", s, o, [&](auto& x, auto&) { return x.Replace(c, '\0'); });
        OneOf(which, s, o,
              "JString(const char*)", [&](auto& x, auto&) { return x = Like(x, text); },
              "JString(char)", [&](auto& x, auto&) { return x = Like(x, c); },
              "JString(const JString&)", [](auto& x, auto& y) { return x = Like(x, y); },
              "JString(JString*)", [&](auto& x, auto& y) { return x = Like(x, text ? &y : nullptr); },
              "operator=(JString)", [](auto& x, auto& y) { x = y; },
              "operator=(char)", [&](auto& x, auto&) { x = c; },
              "operator=(const char*)", [&](auto& x, auto&) { x = text; },
              "operator=(own text)", [&](auto& x, auto&) { x = x.GetBuffer() + std::min<unsigned>(a, x.GetLength()); },
              "operator+=(JString)", [](auto& x, auto& y) { x += y; },
              "operator+=(char)", [&](auto& x, auto&) { x += c; },
              "operator+=(const char*)", [&](auto& x, auto&) { x += text; },
              "JString + JString", [](auto& x, auto& y) { return x = x + y; },
              "JString + char", [&](auto& x, auto&) { return x = x + c; },
              "char + JString", [&](auto& x, auto&) { return x = c + x; },
              "JString + const char*", [&](auto& x, auto&) { return x = x + p; },
              "const char* + JString", [&](auto& x, auto&) { return x = p + x; },
              "comparison operators", [&](auto& x, auto& y) { return Compared(x, y, text); },
              "Compare", [](auto& x, auto& y) { return Sign(x.Compare(y)); },
              "CompareNoCase", [](auto& x, auto& y) { return Sign(x.CompareNoCase(y)); },
              "Replace(char, char)", [&](auto& x, auto&) { return x.Replace(c, d); },
              "Replace(char, slot)", [&](auto& x, auto& y) { return small ? x.Replace(c, y) : 0; },
              "Replace(char, JString(char))", [&](auto& x, auto&) { return x.Replace(c, Like(x, d)); },
              "Replace(char, text)", [&](auto& x, auto&) { return x.Replace(c, Like(x, p)); },
              "Insert(slot)", [&](auto& x, auto& y) { x.Insert(a, y); },
              "Insert(JString(char))", [&](auto& x, auto&) { x.Insert(a, Like(x, c)); },
              "Delete", [&](auto& x, auto&) { return x.Delete(a, b); },
              "Remove", [&](auto& x, auto&) { return x.Remove(c); },
              "DeleteUptoFirstChar", [&](auto& x, auto&) { return x.DeleteUptoFirstChar(c, including); },
              "RemoveMultiChars", [&](auto& x, auto&) { return x.RemoveMultiChars(c); },
              "DeleteLeadingWhiteSpace", [](auto& x, auto&) { x.DeleteLeadingWhiteSpace(); },
              "DeleteTrailingWhiteSpace", [](auto& x, auto&) { x.DeleteTrailingWhiteSpace(); },
              "DeleteLeadingChars(set)", [&](auto& x, auto&) { x.DeleteLeadingChars(text); },
              "DeleteTrailingChars(set)", [&](auto& x, auto&) { x.DeleteTrailingChars(text); },
              "DeleteLeadingChars(char)", [&](auto& x, auto&) { x.DeleteLeadingChars(c); },
              "DeleteTrailingChars(char)", [&](auto& x, auto&) { x.DeleteTrailingChars(c); },
              "MakeUpper", [](auto& x, auto&) { x.MakeUpper(); },
              "MakeLower", [](auto& x, auto&) { x.MakeLower(); },
              "Format(%s|%d)", [&](auto& x, auto&) { x.Format("%s|%d", p, a); },
              "Format(own text)", [](auto& x, auto&) { x.Format("%s<%s>", x.GetBuffer(), x.GetBuffer()); },
              "Format(%*s)", [&](auto& x, auto&) { x.Format("%*s", (b & 0xFF) * 8, p); },  // past the 1022 cut
              "Format(%c%s)", [&](auto& x, auto&) { x.Format("%c%s", c, p); },
              "Format(null)", [&](auto& x, auto&) { x.Format(none, 0); });
    }

    // Every search and extraction; none changes the receiver.
    void Queries(Pair& s, Pair& o, char c, int a, int b, const char* text)
    {
        Both("Find(char)", s, o, [&](auto& x, auto&) { return x.Find(c); });
        Both("Find(char, int)", s, o, [&](auto& x, auto&) { return x.Find(c, a); });
        Both("Find(const char*)", s, o, [&](auto& x, auto&) { return x.Find(text); });
        Both("Find(const char*, int)", s, o, [&](auto& x, auto&) { return x.Find(text, a); });
        Both("Find(JString)", s, o, [](auto& x, auto& y) { return x.Find(y); });
        Both("ReverseFind", s, o, [&](auto& x, auto&) { return x.ReverseFind(c); });
        Both("FindNoCase(const char*)", s, o, [&](auto& x, auto&) { return x.FindNoCase(text); });
        Both("FindNoCase(JString)", s, o, [](auto& x, auto& y) { return x.FindNoCase(y); });
        Both("FindNoCase(char, int)", s, o, [&](auto& x, auto&) { return x.FindNoCase(c, a); });
        Both("FindNoCase(const char*, int)", s, o, [&](auto& x, auto&) { return x.FindNoCase(text, a); });
        Both("IsAllWhiteSpace", s, o, [](auto& x, auto&) { return x.IsAllWhiteSpace(); });
        Both("Mid(int)", s, o, [&](auto& x, auto&) { return x.Mid(a); });
        Both("Mid(int, int)", s, o, [&](auto& x, auto&) { return x.Mid(a, b); });
        Both("Left", s, o, [&](auto& x, auto&) { return x.Left(a); });
        Both("Right", s, o, [&](auto& x, auto&) { return x.Right(a); });
        Both("ExtractWord", s, o, [&](auto& x, auto&) { return x.ExtractWord(b % 6); });
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    Pair slots_[3];
    std::string failure_;
};
