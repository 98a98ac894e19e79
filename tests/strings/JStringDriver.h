// SPDX-License-Identifier: MIT
// JStringDriver: reads a sequence of JString operations from raw bytes, applies
// each to three JString slots and to their PlainString models alike, and
// compares every result, every text byte and every length. Used by the
// libFuzzer target and by a seeded differential unit test.
#pragma once

#include "PlainString.h"

#include <fieldkit/strings/JString.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

class JStringDriver {
public:
    JStringDriver(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    // Runs every operation the bytes describe. False at the first difference,
    // with a description of it in *failure.
    bool Run(std::string* failure)
    {
        while (pos_ < size_ && ok_) {
            Step();
            KeepShort();
        }
        if (!ok_)
            *failure = failure_;
        return ok_;
    }

private:
    struct Pair {
        JString real;
        PlainString model;
    };

    // Model texts stay short: the model is quadratic.
    static constexpr int kMaxLength = 400;

    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    // Mostly characters that the operations care about, sometimes any byte.
    char Char()
    {
        static const char kAlphabet[] = {'a', 'b', ' ', '\t', '\n', '\r', '\0', 'A', 'B', '%', 'c', 'x'};
        const uint8_t b = Byte();
        if (b >= 0xF0)
            return static_cast<char>(Byte());
        return kAlphabet[b % sizeof kAlphabet];
    }

    // A C text of up to 15 characters (a NUL drawn ends it early).
    std::string Text()
    {
        const int n = Byte() % 16;
        std::string t;
        for (int i = 0; i < n; ++i) {
            const char c = Char();
            if (c == '\0')
                break;
            t += c;
        }
        return t;
    }

    // Positions and counts: mostly small, with the interesting extremes.
    int Number()
    {
        const uint8_t b = Byte();
        switch (b % 8) {
        case 0:
            return -1;
        case 1:
            return Byte() % 2 ? INT_MAX : INT_MIN;
        case 2:
            return -static_cast<int>(Byte() % 4);
        default:
            return Byte() % 24;
        }
    }

    Pair& Slot() { return slots_[Byte() % 3]; }

    void Fail(const std::string& what, const JString& real, const PlainString& model)
    {
        if (!ok_)
            return;
        ok_ = false;
        failure_ = what + ": real length " + std::to_string(real.GetLength()) + " \"" +
                   Escaped(real.GetBuffer(), real.GetLength()) + "\", model length " + std::to_string(model.length) +
                   " \"" + Escaped(model.block.data(), model.length) + "\"";
    }

    static std::string Escaped(const char* bytes, int len)
    {
        std::string out;
        for (int i = 0; bytes && i < len; ++i) {
            const unsigned char c = static_cast<unsigned char>(bytes[i]);
            if (c >= 0x20 && c < 0x7F && c != '\\') {
                out += static_cast<char>(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            }
        }
        return out;
    }

    // Same length, same bytes up to and including the terminator.
    void Same(const char* what, const JString& real, const PlainString& model)
    {
        const int len = real.GetLength();
        if (len != model.length || !real.GetBuffer() ||
            std::memcmp(real.GetBuffer(), model.block.data(), static_cast<size_t>(len) + 1) != 0)
            Fail(what, real, model);
    }

    void Same(const char* what, const Pair& p) { Same(what, p.real, p.model); }

    void SameValue(const char* what, long long real, long long model, const Pair& p)
    {
        if (real != model)
            Fail(std::string(what) + " result " + std::to_string(real) + " vs " + std::to_string(model), p.real,
                 p.model);
        Same(what, p);
    }

    static int Sign(int v) { return (v > 0) - (v < 0); }

    // The slot's string of the same kind as `like`: the real one or its model.
    static JString& Side(Pair& p, const JString&) { return p.real; }
    static PlainString& Side(Pair& p, const PlainString&) { return p.model; }

    // A new string of the same kind as `like`, made from `args`.
    template <typename S, typename... Args>
    static S Like(const S&, Args... args)
    {
        return S(args...);
    }

    // Applies `op` to the real string and to its model alike, then compares what
    // it returned (nothing, a number or a string) and the two strings.
    template <typename Op>
    void Both(const char* what, Pair& s, Op op)
    {
        using Result = std::decay_t<decltype(op(s.real))>;
        if constexpr (std::is_same_v<Result, JString>)
            Same(what, op(s.real), op(s.model));
        else if constexpr (std::is_void_v<Result>)
            op(s.real), op(s.model);
        else
            SameValue(what, op(s.real), op(s.model), s);
        Same(what, s);
    }

    template <typename Op>
    struct NamedOp {
        const char* name;
        Op op;
    };
    template <typename Op>
    static NamedOp<Op> Named(const char* name, Op op)
    {
        return {name, op};
    }

    // Applies the `which`-th of the named operations as Both does.
    template <typename... Ops>
    void BothOneOf(int which, Pair& s, const NamedOp<Ops>&... ops)
    {
        int i = 0;
        ((i++ == which ? Both(ops.name, s, ops.op) : void()), ...);
    }

    void KeepShort()
    {
        const int half = kMaxLength / 2;
        for (Pair& p : slots_)
            if (p.real.GetLength() > kMaxLength)
                Both("trim Delete", p, [&](auto& x) { return x.Delete(half, -1); });
    }

    void Step()
    {
        using Op = void (JStringDriver::*)(Pair&, Pair&);
        static constexpr Op kOps[20] = {
            &JStringDriver::Construct,   &JStringDriver::AssignFrom,      &JStringDriver::Append,
            &JStringDriver::Concatenate, &JStringDriver::Comparisons,     &JStringDriver::Searches,
            &JStringDriver::Searches,     &JStringDriver::Extractions,    &JStringDriver::ReplaceChars,
            &JStringDriver::ReplaceByString, &JStringDriver::ReplaceByString, &JStringDriver::InsertString,
            &JStringDriver::Deletions,   &JStringDriver::Stripping,       &JStringDriver::Stripping,
            &JStringDriver::Collapse,    &JStringDriver::Case,            &JStringDriver::Formatting,
            &JStringDriver::MakeNul,     &JStringDriver::MakeNul,
        };
        Pair& s = Slot();
        Pair& o = Slot();
        (this->*kOps[Byte() % 20])(s, o);
    }

    // Each new string is compared, then (but the null text's) assigned to the slot.
    void Construct(Pair& s, Pair& o)
    {
        const std::string t = Text();
        const char c = Char();
        const char* none = nullptr;
        switch (Byte() % 5) {
        case 0:
            return Both("JString(const char*)", s, [&](auto& x) { return x = Like(x, t.c_str()); });
        case 1:
            return Both("JString(char)", s, [&](auto& x) { return x = Like(x, c); });
        case 2:
            return Both("JString(const JString&)", s, [&](auto& x) { return x = Like(x, Side(o, x)); });
        case 3: {
            const bool null = Byte() % 2;
            return Both("JString(JString*)", s, [&](auto& x) { return x = Like(x, null ? nullptr : &Side(o, x)); });
        }
        default:
            return Both("JString(null)", s, [&](auto& x) { return Like(x, none); });
        }
    }

    void AssignFrom(Pair& s, Pair& o)
    {
        const std::string t = Text();
        const char c = Char();
        const char* none = nullptr;
        BothOneOf(Byte() % 4, s,
                  Named("operator=(JString)", [&](auto& x) { x = Side(o, x); }),
                  Named("operator=(char)", [&](auto& x) { x = c; }),
                  Named("operator=(const char*)", [&](auto& x) { x = t.c_str(); }),
                  Named("operator=(null)", [&](auto& x) { x = none; }));
    }

    void Append(Pair& s, Pair& o)
    {
        const std::string t = Text();
        const char c = Char();
        const char* none = nullptr;
        BothOneOf(Byte() % 4, s,
                  Named("operator+=(JString)", [&](auto& x) { x += Side(o, x); }),
                  Named("operator+=(char)", [&](auto& x) { x += c; }),
                  Named("operator+=(const char*)", [&](auto& x) { x += t.c_str(); }),
                  Named("operator+=(null)", [&](auto& x) { x += none; }));
    }

    void Concatenate(Pair& s, Pair& o)
    {
        const std::string t = Text();
        const char c = Char();
        const char* text = t.c_str();
        BothOneOf(Byte() % 5, s,
                  Named("operator+(JString, JString)", [&](auto& x) { return x = x + Side(o, x); }),
                  Named("operator+(JString, char)", [&](auto& x) { return x = x + c; }),
                  Named("operator+(char, JString)", [&](auto& x) { return x = c + x; }),
                  Named("operator+(JString, const char*)", [&](auto& x) { return x = x + text; }),
                  Named("operator+(const char*, JString)", [&](auto& x) { return x = text + x; }));
    }

    void Comparisons(Pair& s, Pair& o)
    {
        const std::string t = Text();
        const char* text = Byte() % 4 ? t.c_str() : nullptr;
        const JString& a = s.real;
        const JString& b = o.real;
        const int d = std::strcmp(s.model.text(), o.model.text());
        const int dt = text ? std::strcmp(s.model.text(), text) : 0;
        const int has = text != nullptr;
        const int real[18] = {a == b, a != b, a < b, a > b, a <= b, a >= b,
                              a == text, a != text, a < text, a > text, a <= text, a >= text,
                              text == a, text != a, text < a, text > a, text <= a, text >= a};
        const int model[18] = {d == 0, d != 0, d < 0, d > 0, d <= 0, d >= 0,
                               has && dt == 0, has && dt != 0, has && dt < 0, has && dt > 0, has && dt <= 0, has && dt >= 0,
                               has && dt == 0, has && dt != 0, has && dt > 0, has && dt < 0, has && dt >= 0, has && dt <= 0};
        for (int i = 0; i < 18; ++i)
            SameValue("comparison operator", real[i], model[i], s);
        Both("Compare", s, [&](auto& x) { return Sign(x.Compare(Side(o, x))); });
        Both("CompareNoCase", s, [&](auto& x) { return Sign(x.CompareNoCase(Side(o, x))); });
    }

    void Searches(Pair& s, Pair& o)
    {
        const std::string t = Text();
        const char* text = Byte() % 8 ? t.c_str() : nullptr;
        const char c = Char();
        const int start = Number();
        Both("Find(char)", s, [&](auto& x) { return x.Find(c); });
        Both("Find(char, int)", s, [&](auto& x) { return x.Find(c, start); });
        Both("Find(const char*)", s, [&](auto& x) { return x.Find(text); });
        Both("Find(const char*, int)", s, [&](auto& x) { return x.Find(text, start); });
        Both("Find(JString)", s, [&](auto& x) { return x.Find(Side(o, x)); });
        Both("ReverseFind", s, [&](auto& x) { return x.ReverseFind(c); });
        Both("IsAllWhiteSpace", s, [&](auto& x) { return x.IsAllWhiteSpace(); });
        Both("FindNoCase(const char*)", s, [&](auto& x) { return x.FindNoCase(text); });
        Both("FindNoCase(JString)", s, [&](auto& x) { return x.FindNoCase(Side(o, x)); });
        Both("FindNoCase(char, int)", s, [&](auto& x) { return x.FindNoCase(c, start); });
        Both("FindNoCase(const char*, int)", s, [&](auto& x) { return x.FindNoCase(text, start); });
    }

    void Extractions(Pair& s, Pair&)
    {
        const int a = Number();
        const int b = Number();
        Both("Mid(int)", s, [&](auto& x) { return x.Mid(a); });
        Both("Mid(int, int)", s, [&](auto& x) { return x.Mid(a, b); });
        Both("Left", s, [&](auto& x) { return x.Left(a); });
        Both("Right", s, [&](auto& x) { return x.Right(a); });
        Both("ExtractWord", s, [&](auto& x) { return x.ExtractWord(b % 6); });
    }

    void ReplaceChars(Pair& s, Pair&)
    {
        const char from = Char();
        const char to = Char();
        Both("Replace(char, char)", s, [&](auto& x) { return x.Replace(from, to); });
    }

    // The replacement in three shapes: a copy of a slot (measured as C text), a
    // one-character temporary (which may be a lone NUL) and a text temporary.
    void ReplaceByString(Pair& s, Pair& o)
    {
        const char c = Char();
        const char with = Char();
        const std::string t = Text();
        const int growth = std::max<int>({o.real.GetLength(), static_cast<int>(t.size()), 1});
        if (static_cast<long long>(s.real.GetLength()) * growth > 4 * kMaxLength)
            return;
        BothOneOf(Byte() % 3, s,
                  Named("Replace(char, slot)", [&](auto& x) { return x.Replace(c, Side(o, x)); }),
                  Named("Replace(char, JString(char))", [&](auto& x) { return x.Replace(c, Like(x, with)); }),
                  Named("Replace(char, text)", [&](auto& x) { return x.Replace(c, Like(x, t.c_str())); }));
    }

    void InsertString(Pair& s, Pair& o)
    {
        const int pos = Number();
        const char c = Char();
        if (Byte() % 2 == 0)
            return Both("Insert(slot)", s, [&](auto& x) { x.Insert(pos, Side(o, x)); });
        Both("Insert(JString(char))", s, [&](auto& x) { x.Insert(pos, Like(x, c)); });
    }

    void Deletions(Pair& s, Pair&)
    {
        const int pos = Number();
        const int count = Number();
        const char c = Char();
        const unsigned char including = Byte() % 2;
        BothOneOf(Byte() % 3, s,
                  Named("Delete", [&](auto& x) { return x.Delete(pos, count); }),
                  Named("Remove", [&](auto& x) { return x.Remove(c); }),
                  Named("DeleteUptoFirstChar", [&](auto& x) { return x.DeleteUptoFirstChar(c, including); }));
    }

    void Stripping(Pair& s, Pair&)
    {
        const std::string t = Text();
        const char* set = Byte() % 8 ? t.c_str() : nullptr;
        const char c = Char();
        BothOneOf(Byte() % 6, s,
                  Named("DeleteLeadingWhiteSpace", [](auto& x) { x.DeleteLeadingWhiteSpace(); }),
                  Named("DeleteTrailingWhiteSpace", [](auto& x) { x.DeleteTrailingWhiteSpace(); }),
                  Named("DeleteLeadingChars(set)", [&](auto& x) { x.DeleteLeadingChars(set); }),
                  Named("DeleteTrailingChars(set)", [&](auto& x) { x.DeleteTrailingChars(set); }),
                  Named("DeleteLeadingChars(char)", [&](auto& x) { x.DeleteLeadingChars(c); }),
                  Named("DeleteTrailingChars(char)", [&](auto& x) { x.DeleteTrailingChars(c); }));
    }

    void Collapse(Pair& s, Pair&)
    {
        const char c = Char();
        Both("RemoveMultiChars", s, [&](auto& x) { return x.RemoveMultiChars(c); });
    }

    void Case(Pair& s, Pair&)
    {
        if (Byte() % 2)
            return Both("MakeUpper", s, [](auto& x) { x.MakeUpper(); });
        Both("MakeLower", s, [](auto& x) { x.MakeLower(); });
    }

    void Formatting(Pair& s, Pair&)
    {
        const std::string t = Text();
        const char c = Char();
        const int n = Number();
        const int width = Byte() * 8;
        const char* none = nullptr;
        switch (Byte() % 5) {
        case 0:
            return Both("Format(%s|%d)", s, [&](auto& x) { x.Format("%s|%d", t.c_str(), n); });
        case 1: {
            // The receiver's own text as argument.
            const std::string before(s.model.text());
            s.real.Format("%s<%s>", s.real.GetBuffer(), s.real.GetBuffer());
            s.model.Format("%s<%s>", before.c_str(), before.c_str());
            return Same("Format(own text)", s);
        }
        case 2:
            return Both("Format(%*s)", s, [&](auto& x) { x.Format("%*s", width, t.c_str()); });
        case 3:
            return Both("Format(%c%s)", s, [&](auto& x) { x.Format("%c%s", c, t.c_str()); });
        default:
            return Both("Format(null)", s, [&](auto& x) { x.Format(none, 0); });
        }
    }

    // Embedded NUL bytes come from a lone NUL and from in-place replacement.
    void MakeNul(Pair& s, Pair&)
    {
        const char c = Char();
        Both("Replace(char, NUL)", s, [&](auto& x) { return x.Replace(c, '\0'); });
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
    std::string failure_;
    Pair slots_[3];
};
