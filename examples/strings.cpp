// SPDX-License-Identifier: MIT
// JString: a value string with exact-size storage. Searching, cutting,
// editing and formatting a line the way a settings parser would.
#include <fieldkit/fieldkit.h>

#include <cstdio>

int main()
{
    // Construction copies the text; every JString owns its own block.
    JString line = "  Port =\t8080   # default ";

    // Searches give a 0-based index or -1; case-insensitive ones fold bytes.
    const int comment = line.Find('#');
    const int key_at = line.FindNoCase("port");

    // Extractions return new strings; the empty string when refused.
    JString setting = line.Left(comment);  // drop the comment
    setting.DeleteLeadingWhiteSpace();      // strip the ends
    setting.DeleteTrailingWhiteSpace();

    // Words: tabs count as spaces, runs collapse; counted from 1.
    JString key = setting.ExtractWord(1);
    JString value = setting.ExtractWord(3);
    key.MakeLower();

    // Editing in place: replace a character by a string, collapse runs.
    JString path = "/var//lib///fieldkit";
    path.RemoveMultiChars('/');
    path.Replace('/', JString("\\"));

    // printf-style formatting, cut at 1022 characters.
    JString report;
    report.Format("%s=%s (key at %d, %d chars before the comment) path %s", key.GetBuffer(),
                  value.GetBuffer(), key_at, comment, path.GetBuffer());
    report.println();  // adds a line feed unless the text ends with one

    // Comparisons are strcmp-based; against a null text they are all false.
    const bool right = key == "port" && value == "8080" && path == "\\var\\lib\\fieldkit";
    return right ? 0 : 1;
}
