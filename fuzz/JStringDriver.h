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

    void KeepShort()
    {
        for (Pair& p : slots_) {
            if (p.real.GetLength() > kMaxLength) {
                const int half = kMaxLength / 2;
                SameValue("trim Delete", p.real.Delete(half, -1), p.model.Delete(half, -1), p);
            }
        }
    }

    void Step()
    {
        Pair& s = Slot();
        Pair& o = Slot();
        switch (Byte() % 20) {
        case 0:
            Construct(s, o);
            break;
        case 1:
            AssignFrom(s, o);
            break;
        case 2:
            Append(s, o);
            break;
        case 3:
            Concatenate(s, o);
            break;
        case 4:
            Comparisons(s, o);
            break;
        case 5:
            Searches(s, o);
            break;
        case 6:
            CaseSearches(s, o);
            break;
        case 7:
            Extractions(s);
            break;
        case 8:
            ReplaceChars(s);
            break;
        case 9:
        case 10:
            ReplaceByString(s, o);
            break;
        case 11:
            InsertString(s, o);
            break;
        case 12:
            Deletions(s);
            break;
        case 13:
        case 14:
            Stripping(s);
            break;
        case 15:
            Collapse(s);
            break;
        case 16:
            Case(s);
            break;
        case 17:
            Formatting(s);
            break;
        default:
            MakeNul(s);
            break;
        }
    }

    void Construct(Pair& s, Pair& o)
    {
        const std::string t = Text();
        const char c = Char();
        switch (Byte() % 5) {
        case 0: {
            JString r(t.c_str());
            PlainString m(t.c_str());
            Same("JString(const char*)", r, m);
            s.real = r;
            s.model = m;
            break;
        }
        case 1: {
            JString r(c);
            PlainString m(c);
            Same("JString(char)", r, m);
            s.real = r;
            s.model = m;
            break;
        }
        case 2: {
            JString r(o.real);
            PlainString m(o.model);
            Same("JString(const JString&)", r, m);
            s.real = r;
            s.model = m;
            break;
        }
        case 3: {
            const bool null = Byte() % 2;
            JString r(null ? nullptr : &o.real);
            PlainString m(null ? nullptr : &o.model);
            Same("JString(JString*)", r, m);
            s.real = r;
            s.model = m;
            break;
        }
        default: {
            JString r(static_cast<const char*>(nullptr));
            PlainString m(static_cast<const char*>(nullptr));
            Same("JString(null)", r, m);
            break;
        }
        }
        Same("construct and assign", s);
    }

    void AssignFrom(Pair& s, Pair& o)
    {
        const std::string t = Text();
        const char c = Char();
        switch (Byte() % 4) {
        case 0:
            s.real = o.real;
            s.model = o.model;
            break;
        case 1:
            s.real = c;
            s.model = c;
            break;
        case 2:
            s.real = t.c_str();
            s.model = t.c_str();
            break;
        default:
            s.real = static_cast<const char*>(nullptr);
            s.model = static_cast<const char*>(nullptr);
            break;
        }
        Same("operator=", s);
    }

    void Append(Pair& s, Pair& o)
    {
        const std::string t = Text();
        const char c = Char();
        switch (Byte() % 4) {
        case 0:
            s.real += o.real;
            s.model += o.model;
            break;
        case 1:
            s.real += c;
            s.model += c;
            break;
        case 2:
            s.real += t.c_str();
            s.model.AppendText(t.c_str());
            break;
        default:
            s.real += static_cast<const char*>(nullptr);
            s.model.AppendText(nullptr);
            break;
        }
        Same("operator+=", s);
    }

    void Concatenate(Pair& s, Pair& o)
    {
        const std::string t = Text();
        const char c = Char();
        JString r;
        PlainString m;
        switch (Byte() % 5) {
        case 0:
            r = s.real + o.real;
            m = s.model + o.model;
            break;
        case 1:
            r = s.real + c;
            m = s.model + PlainString(c);
            break;
        case 2:
            r = c + s.real;
            m = PlainString(c) + s.model;
            break;
        case 3:
            r = s.real + t.c_str();
            m = s.model + PlainString(t.c_str());
            break;
        default:
            r = t.c_str() + s.real;
            m = PlainString(t.c_str()) + s.model;
            break;
        }
        Same("operator+", r, m);
        s.real = r;
        s.model = m;
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
        SameValue("Compare", Sign(s.real.Compare(o.real)), Sign(s.model.Compare(o.model)), s);
        SameValue("CompareNoCase", Sign(s.real.CompareNoCase(o.real)), Sign(s.model.CompareNoCase(o.model)), s);
    }

    void Searches(Pair& s, Pair& o)
    {
        const std::string t = Text();
        const char* text = Byte() % 8 ? t.c_str() : nullptr;
        const char c = Char();
        const int start = Number();
        SameValue("Find(char)", s.real.Find(c), s.model.Find(c), s);
        SameValue("Find(char, int)", s.real.Find(c, start), s.model.Find(c, start), s);
        SameValue("Find(const char*)", s.real.Find(text), s.model.Find(text), s);
        SameValue("Find(const char*, int)", s.real.Find(text, start), s.model.Find(text, start), s);
        SameValue("Find(JString)", s.real.Find(o.real), s.model.Find(PlainString(o.model).text()), s);
        SameValue("ReverseFind", s.real.ReverseFind(c), s.model.ReverseFind(c), s);
        SameValue("IsAllWhiteSpace", s.real.IsAllWhiteSpace(), s.model.IsAllWhiteSpace(), s);
    }

    void CaseSearches(Pair& s, Pair& o)
    {
        const std::string t = Text();
        const char* text = Byte() % 8 ? t.c_str() : nullptr;
        const char c = Char();
        const int start = Number();
        SameValue("FindNoCase(const char*)", s.real.FindNoCase(text), s.model.FindNoCase(text), s);
        SameValue("FindNoCase(JString)", s.real.FindNoCase(o.real), s.model.FindNoCase(PlainString(o.model).text()), s);
        SameValue("FindNoCase(char, int)", s.real.FindNoCase(c, start), s.model.FindNoCase(c, start), s);
        SameValue("FindNoCase(const char*, int)", s.real.FindNoCase(text, start), s.model.FindNoCase(text, start), s);
    }

    void Extractions(Pair& s)
    {
        const int a = Number();
        const int b = Number();
        Same("Mid(int)", s.real.Mid(a), s.model.Mid(a));
        Same("Mid(int, int)", s.real.Mid(a, b), s.model.Mid(a, b));
        Same("Left", s.real.Left(a), s.model.Left(a));
        Same("Right", s.real.Right(a), s.model.Right(a));
        Same("ExtractWord", s.real.ExtractWord(b % 6), s.model.ExtractWord(b % 6));
        Same("extractions keep the receiver", s);
    }

    void ReplaceChars(Pair& s)
    {
        const char from = Char();
        const char to = Char();
        SameValue("Replace(char, char)", s.real.Replace(from, to), s.model.Replace(from, to), s);
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
        switch (Byte() % 3) {
        case 0:
            SameValue("Replace(char, slot)", s.real.Replace(c, o.real), s.model.Replace(c, o.model), s);
            break;
        case 1:
            SameValue("Replace(char, JString(char))", s.real.Replace(c, JString(with)),
                      s.model.Replace(c, PlainString(with)), s);
            break;
        default:
            SameValue("Replace(char, text)", s.real.Replace(c, JString(t.c_str())),
                      s.model.Replace(c, PlainString(t.c_str())), s);
            break;
        }
    }

    void InsertString(Pair& s, Pair& o)
    {
        const int pos = Number();
        const char c = Char();
        switch (Byte() % 2) {
        case 0:
            s.real.Insert(pos, o.real);
            s.model.Insert(pos, o.model);
            break;
        default:
            s.real.Insert(pos, JString(c));
            s.model.Insert(pos, PlainString(c));
            break;
        }
        Same("Insert", s);
    }

    void Deletions(Pair& s)
    {
        const int pos = Number();
        const int count = Number();
        const char c = Char();
        const unsigned char including = Byte() % 2;
        switch (Byte() % 3) {
        case 0:
            SameValue("Delete", s.real.Delete(pos, count), s.model.Delete(pos, count), s);
            break;
        case 1:
            SameValue("Remove", s.real.Remove(c), s.model.Remove(c), s);
            break;
        default:
            SameValue("DeleteUptoFirstChar", s.real.DeleteUptoFirstChar(c, including),
                      s.model.DeleteUptoFirstChar(c, including), s);
            break;
        }
    }

    void Stripping(Pair& s)
    {
        const std::string t = Text();
        const char* set = Byte() % 8 ? t.c_str() : nullptr;
        const char c = Char();
        switch (Byte() % 6) {
        case 0:
            s.real.DeleteLeadingWhiteSpace();
            s.model.DeleteLeadingWhiteSpace();
            break;
        case 1:
            s.real.DeleteTrailingWhiteSpace();
            s.model.DeleteTrailingWhiteSpace();
            break;
        case 2:
            s.real.DeleteLeadingChars(set);
            s.model.DeleteLeadingChars(set);
            break;
        case 3:
            s.real.DeleteTrailingChars(set);
            s.model.DeleteTrailingChars(set);
            break;
        case 4:
            s.real.DeleteLeadingChars(c);
            s.model.DeleteLeadingChars(c);
            break;
        default:
            s.real.DeleteTrailingChars(c);
            s.model.DeleteTrailingChars(c);
            break;
        }
        Same("stripping", s);
    }

    void Collapse(Pair& s)
    {
        const char c = Char();
        SameValue("RemoveMultiChars", s.real.RemoveMultiChars(c), s.model.RemoveMultiChars(c), s);
    }

    void Case(Pair& s)
    {
        if (Byte() % 2) {
            s.real.MakeUpper();
            s.model.MakeUpper();
        } else {
            s.real.MakeLower();
            s.model.MakeLower();
        }
        Same("MakeUpper/MakeLower", s);
    }

    void Formatting(Pair& s)
    {
        const std::string t = Text();
        const char c = Char();
        const int n = Number();
        const int width = Byte() * 8;
        const char* none = nullptr;
        switch (Byte() % 5) {
        case 0:
            s.real.Format("%s|%d", t.c_str(), n);
            s.model.Format("%s|%d", t.c_str(), n);
            break;
        case 1: {
            // The receiver's own text as argument.
            const std::string before(s.model.text());
            s.real.Format("%s<%s>", s.real.GetBuffer(), s.real.GetBuffer());
            s.model.Format("%s<%s>", before.c_str(), before.c_str());
            break;
        }
        case 2:
            s.real.Format("%*s", width, t.c_str());
            s.model.Format("%*s", width, t.c_str());
            break;
        case 3:
            s.real.Format("%c%s", c, t.c_str());
            s.model.Format("%c%s", c, t.c_str());
            break;
        default:
            s.real.Format(none, 0);
            s.model.Format(none, 0);
            break;
        }
        Same("Format", s);
    }

    // Embedded NUL bytes come from a lone NUL and from in-place replacement.
    void MakeNul(Pair& s)
    {
        const char c = Char();
        SameValue("Replace(char, NUL)", s.real.Replace(c, '\0'), s.model.Replace(c, '\0'), s);
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
    std::string failure_;
    Pair slots_[3];
};
