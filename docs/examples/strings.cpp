// Takes a header line apart without copying it: every StrPtrLen points into one buffer.
#include <commonutilities/StrPtrLen.h>

#include <cstdio>
#include <cstdlib>

int main() {
    //! [parse]
    char line[] = "  Content-Length: 42  ";  // the bytes belong to this array
    StrPtrLen text(line);                    // pointer and length, nothing copied
    text.TrimLeadingBlanks();                // moves fPtr forward
    text.TrimTrailingBlanks();               // shortens fLen

    if (!text.PrefixEqualIgnoreCase("content-length:", 15)) return 1;
    char* colon = text.FindSubstring(":");  // points into the line, or null
    StrPtrLen value;
    value.Set(colon + 1, text.fLen - uint32_t(colon + 1 - text.fPtr));
    value.TrimLeadingBlanks();

    char* number = value.CopyToNewCString();  // a NUL-terminated copy, ours to delete[]
    const long length = std::strtol(number, nullptr, 10);
    delete[] number;
    //! [parse]

    //! [equal]
    char upper[] = "LENGTH";
    StrPtrLen word(upper, 3);             // "LEN": the rest of the array is not in it
    const bool same = word.Equal("LEN");  // bytes and length: yes
    const bool folded = word.EqualIgnoreCase("len", 3);  // A to Z as a to z: yes
    //! [equal]

    std::printf("content length %ld; text is %u bytes long\n", length, text.fLen);
    return length == 42 && text.fLen == 18 && same && folded ? 0 : 1;
}
