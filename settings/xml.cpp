#include "settings/xml.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/diagnostic.h"

namespace {

struct Entity {
    const char* text;
    char character;
};

// The same table serves reading and writing, in this order.
constexpr Entity kEntities[] = {
    {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r';
}

bool IsNameDelimiter(char c) {
    switch (c) {
        case 0:
        case '\t':
        case '\n':
        case '\r':
        case ' ':
        case '"':
        case '&':
        case '\'':
        case '/':
        case '<':
        case '=':
        case '>':
            return true;
        default:
            return false;
    }
}

void SkipSpace(XmlCursor& c) {
    while (c.position < c.size && IsSpace(c.bytes[c.position])) ++c.position;
}

// True when the bytes at the cursor are text (all of them inside the buffer).
bool At(const XmlCursor& c, const char* text) {
    const int n = static_cast<int>(std::strlen(text));
    return c.position <= c.size - n && std::memcmp(c.bytes + c.position, text, n) == 0;
}

// Remembers where each round of a parse loop started; a round that starts where the previous
// one did has made no progress.
class ProgressGuard {
  public:
    bool Stuck(const XmlCursor& c) {
        if (m_last == c.position) {
            DiagnosticPrint(L"XML parse error (%d)\n", c.position);
            return true;
        }
        m_last = c.position;
        return false;
    }

  private:
    int m_last = -1;
};

void FreeAttributes(XmlAttribute* attribute) {
    while (attribute != nullptr) {
        XmlAttribute* next = attribute->next;
        delete attribute->name;
        delete attribute->value;
        delete attribute;
        attribute = next;
    }
}

bool EqualsIgnoringCase(const wchar_t* text, const char* ascii) {
    if (text == nullptr) return false;
    for (; *ascii != 0; ++text, ++ascii) {
        wchar_t c = *text;
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != static_cast<wchar_t>(*ascii)) return false;
    }
    return *text == 0;
}

CString* NewString(const wchar_t* text) {
    if (text == nullptr) return nullptr;
    return new (std::nothrow) CString(text);
}

}  // namespace

// ---- Output buffer -----------------------------------------------------------------------

CXmlString::~CXmlString() {
    delete[] m_bytes;
}

void CXmlString::Append(const char* bytes, int n) {
    if (bytes == nullptr || n <= 0) return;
    if (m_length + n + 1 < m_capacity) {
        std::memcpy(m_bytes + m_length, bytes, static_cast<size_t>(n));
    } else {
        const int capacity = m_length + n + 1 + 256;
        char* grown = new (std::nothrow) char[static_cast<size_t>(capacity)];
        if (grown == nullptr) return;
        if (m_bytes != nullptr) std::memcpy(grown, m_bytes, static_cast<size_t>(m_length));
        std::memcpy(grown + m_length, bytes, static_cast<size_t>(n));
        delete[] m_bytes;
        m_bytes = grown;
        m_capacity = capacity;
    }
    m_length += n;
    m_bytes[m_length] = 0;
}

void CXmlString::Append(const char* text) {
    if (text != nullptr) Append(text, static_cast<int>(std::strlen(text)));
}

char* CXmlString::Release() {
    char* bytes = m_bytes;
    m_bytes = nullptr;
    m_capacity = m_length = 0;
    return bytes;
}

// ---- Reading -----------------------------------------------------------------------------

CString* CXml::MakeString(const char* bytes, int count) {
    wchar_t* wide = ToWide(bytes, count, codePage);
    if (wide == nullptr) return nullptr;
    CString* s = new (std::nothrow) CString(wide);
    delete[] wide;
    return s;
}

XmlNode* CXml::LoadDocument(const char* bytes, int count) {
    if (bytes == nullptr || count <= 0) return nullptr;
    codePage = kCodePageUtf8;
    XmlCursor cursor;
    cursor.bytes = bytes;
    cursor.size = count;

    CString* encoding = nullptr;
    if (!ParseDeclaration(cursor, &encoding)) {
        delete encoding;
        return nullptr;
    }
    XmlNode* first = ParseElement(cursor, 1);
    if (first == nullptr) {
        delete encoding;
        return nullptr;
    }
    first->encoding = encoding;
    XmlNode* last = first;
    while (XmlNode* next = ParseElement(cursor, 1)) {
        last->nextSibling = next;
        last = next;
    }
    return first;
}

bool CXml::ParseDeclaration(XmlCursor& c, CString** encoding) {
    SkipSpace(c);
    if (!At(c, "<?xml") || c.position + 5 >= c.size || !IsSpace(c.bytes[c.position + 5])) {
        return false;
    }
    c.position += 5;
    ProgressGuard guard;
    while (true) {
        if (guard.Stuck(c)) return false;
        SkipSpace(c);
        if (c.position >= c.size) return false;
        if (At(c, "?>")) {
            c.position += 2;
            return true;
        }
        XmlAttribute* attribute = ParseAttribute(c);
        if (attribute == nullptr) return false;
        if (attribute->name->Equals(L"encoding")) {
            codePage = kCodePageUtf8;
            const wchar_t* value = attribute->value ? attribute->value->WideText() : nullptr;
            if (EqualsIgnoringCase(value, "shift_jis")) codePage = kCodePageShiftJis;
            delete *encoding;
            *encoding = attribute->value;
            attribute->value = nullptr;
        }
        FreeAttributes(attribute);
    }
}

XmlNode* CXml::ParseElement(XmlCursor& c, int depth) {
    if (depth > kMaxDepth) {
        // Too deep to be a settings file: end the parse here, keeping what is complete.
        c.position = c.size;
        return nullptr;
    }
    // Comments and blanks in front of the element.
    ProgressGuard before;
    while (true) {
        if (before.Stuck(c)) return nullptr;
        SkipSpace(c);
        if (c.position >= c.size || c.bytes[c.position] != '<') return nullptr;
        if (c.position + 4 < c.size && At(c, "<!--")) {
            c.position += 4;
            int end = c.size;
            for (int p = c.position; p < c.size; ++p) {
                if (c.bytes[p] == '-' && p + 3 < c.size &&
                    std::memcmp(c.bytes + p, "-->", 3) == 0) {
                    end = p + 3;
                    break;
                }
            }
            c.position = end;
            continue;
        }
        break;
    }

    ++c.position;  // '<'
    const int nameStart = c.position;
    CString* name = ReadName(c);
    if (name == nullptr) return nullptr;
    const int nameLength = c.position - nameStart;
    XmlNode* node = new (std::nothrow) XmlNode();
    if (node == nullptr) {
        delete name;
        return nullptr;
    }
    node->name = name;
    auto fail = [&]() -> XmlNode* {
        FreeTree(node);
        return nullptr;
    };

    if (c.position < c.size && IsSpace(c.bytes[c.position])) {
        SkipSpace(c);
    } else if (c.position >= c.size || (c.bytes[c.position] != '/' && c.bytes[c.position] != '>')) {
        return fail();
    }

    // Attributes, up to "/>" (an empty element) or '>' (content follows). Attributes and
    // children are appended at a kept tail, so that an element with many of them is read in
    // one pass.
    XmlAttribute** attributeTail = &node->attributes;
    XmlNode** childTail = &node->firstChild;
    ProgressGuard attributes;
    while (c.position < c.size) {
        if (attributes.Stuck(c)) break;
        SkipSpace(c);
        if (At(c, "/>")) {
            c.position += 2;
            return node;
        }
        if (c.position < c.size && c.bytes[c.position] == '>') {
            ++c.position;
            break;
        }
        if (c.position >= c.size) break;
        XmlAttribute* attribute = ParseAttribute(c);
        if (attribute == nullptr) return fail();
        *attributeTail = attribute;
        attributeTail = &attribute->next;
    }

    // Content: text, child elements, and the end tag.
    ProgressGuard content;
    while (c.position < c.size) {
        if (content.Stuck(c)) return node;
        SkipSpace(c);
        if (c.position >= c.size) break;
        if (At(c, "</")) {
            c.position += 2;
            if (c.position > c.size - nameLength ||
                std::memcmp(c.bytes + c.position, c.bytes + nameStart, nameLength) != 0) {
                // A mismatched end tag ends the whole parse.
                c.position = c.size;
                return fail();
            }
            c.position += nameLength;
            SkipSpace(c);
            if (c.position < c.size && c.bytes[c.position] == '>') {
                ++c.position;
                return node;
            }
        } else if (c.bytes[c.position] == '<') {
            if (XmlNode* child = ParseElement(c, depth + 1)) {
                *childTail = child;
                childTail = &child->nextSibling;
            }
        } else {
            CString* text = ReadText(c, 0);
            delete node->text;
            node->text = text;
        }
    }
    return node;  // an unclosed element at the end of the document is accepted
}

XmlAttribute* CXml::ParseAttribute(XmlCursor& c) {
    SkipSpace(c);
    CString* name = ReadName(c);
    if (name == nullptr) return nullptr;
    SkipSpace(c);
    if (c.position >= c.size || c.bytes[c.position] != '=') {
        delete name;
        return nullptr;
    }
    ++c.position;
    SkipSpace(c);
    if (c.position >= c.size || (c.bytes[c.position] != '"' && c.bytes[c.position] != '\'')) {
        delete name;
        return nullptr;
    }
    const char quote = c.bytes[c.position++];
    XmlAttribute* attribute = new (std::nothrow) XmlAttribute();
    if (attribute == nullptr) {
        delete name;
        return nullptr;
    }
    attribute->name = name;
    attribute->value = ReadText(c, quote);
    return attribute;
}

CString* CXml::ReadName(XmlCursor& c) {
    int end = c.position;
    while (end < c.size && !IsNameDelimiter(c.bytes[end])) ++end;
    if (end == c.position || end >= c.size) return nullptr;
    CString* name = MakeString(c.bytes + c.position, end - c.position);
    if (name == nullptr) return nullptr;
    c.position = end;
    return name;
}

CString* CXml::ReadText(XmlCursor& c, char quote) {
    const int start = c.position;
    int stop = start;
    while (stop < c.size && c.bytes[stop] != '<' && c.bytes[stop] != '>' &&
           (quote == 0 || c.bytes[stop] != quote)) {
        ++stop;
    }
    if (stop == start) {
        // An empty quoted value (x=""): step over its closing quote, so that the attributes
        // after it are read. The value stays absent, as the writer writes an absent one.
        if (quote != 0 && stop < c.size && c.bytes[stop] == quote) c.position = stop + 1;
        return nullptr;
    }
    // Without a quote the text ends at '<', which stays for the caller; a value ends at its
    // quote, which is passed. Anything else, or the end of the buffer, leaves the cursor on
    // the offending byte.
    if (stop >= c.size) {
        c.position = c.size;
        return nullptr;
    }
    const char end = c.bytes[stop];
    if (end != (quote == 0 ? '<' : quote)) {
        c.position = stop;
        return nullptr;
    }
    c.position = quote == 0 ? stop : stop + 1;
    return DecodeText(c.bytes + start, stop - start);
}

namespace {

// The character of a reference "&#N;" or "&#xH;" at bytes[0] (at most count bytes), and the
// reference's length in *length; 0 when there is none there or it names no character that a
// text can hold (NUL, a surrogate, beyond U+10FFFF).
std::uint32_t CharacterReference(const char* bytes, int count, int* length) {
    if (count < 4 || bytes[0] != '&' || bytes[1] != '#') return 0;
    const bool hex = bytes[2] == 'x';
    int p = hex ? 3 : 2;
    const int digitsStart = p;
    std::uint32_t value = 0;
    for (; p < count; ++p) {
        const char b = bytes[p];
        std::uint32_t digit;
        if (b >= '0' && b <= '9') {
            digit = static_cast<std::uint32_t>(b - '0');
        } else if (hex && b >= 'a' && b <= 'f') {
            digit = static_cast<std::uint32_t>(b - 'a' + 10);
        } else if (hex && b >= 'A' && b <= 'F') {
            digit = static_cast<std::uint32_t>(b - 'A' + 10);
        } else {
            break;
        }
        value = value * (hex ? 16u : 10u) + digit;
        if (value > 0x10FFFF) return 0;
    }
    if (p == digitsStart || p >= count || bytes[p] != ';') return 0;
    if (value == 0 || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *length = p + 1;
    return value;
}

}  // namespace

CString* CXml::DecodeText(const char* bytes, int count) {
    // Literal bytes (entities decoded) gather in a run that is converted from the document's
    // code page at once; a character reference adds its character between two runs. Neither
    // gives more wide characters than it has bytes.
    std::unique_ptr<char[]> run(new (std::nothrow) char[static_cast<size_t>(count) + 1]);
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[static_cast<size_t>(count) + 1]);
    if (!run || !text) return nullptr;
    int runLength = 0;
    int runContent = 0;  // the run up to its last byte that is not a literal blank
    int length = 0;
    auto flush = [&](int n) {
        if (n <= 0) return;
        std::unique_ptr<wchar_t[]> wide(ToWide(run.get(), n, codePage));
        for (int i = 0; wide && wide[i] != 0 && length < count; ++i) text[length++] = wide[i];
        runLength = runContent = 0;
    };
    // Literal blanks at both ends are the layout of the file and are dropped; blanks inside
    // are kept as they are, and blanks written as references are kept anywhere. The stored
    // text ends at a NUL byte.
    for (int p = 0; p < count && bytes[p] != 0;) {
        const char b = bytes[p];
        int referenceLength = 0;
        if (IsSpace(b)) {
            if (length > 0 || runLength > 0) run[runLength++] = b;
            ++p;
        } else if (const std::uint32_t character =
                       CharacterReference(bytes + p, count - p, &referenceLength)) {
            flush(runLength);
            if (sizeof(wchar_t) == 2 && character > 0xFFFF) {
                text[length++] = static_cast<wchar_t>(0xD800 + ((character - 0x10000) >> 10));
                text[length++] = static_cast<wchar_t>(0xDC00 + ((character - 0x10000) & 0x3FF));
            } else {
                text[length++] = static_cast<wchar_t>(character);
            }
            p += referenceLength;
        } else {
            const Entity* match = nullptr;
            if (b == '&') {
                for (const Entity& e : kEntities) {
                    const int n = static_cast<int>(std::strlen(e.text));
                    if (n <= count - p && std::memcmp(bytes + p, e.text, n) == 0) {
                        match = &e;
                        break;
                    }
                }
            }
            run[runLength++] = match != nullptr ? match->character : b;
            runContent = runLength;
            p += match != nullptr ? static_cast<int>(std::strlen(match->text)) : 1;
        }
    }
    flush(runContent);
    CString* result = new (std::nothrow) CString();
    if (result != nullptr) result->Assign(text.get(), length);
    return result;
}

// ---- Writing -----------------------------------------------------------------------------

char* CXml::SerializeDocument(const XmlNode* first) {
    codePage = kCodePageUtf8;
    CXmlString out(kCodePageUtf8);
    out.Append("<?xml version=\"1.0\" ");
    // The writer always produces UTF-8, so a declaration that named another encoding would
    // make the document read back wrongly; only a UTF-8 one is carried over.
    if (first != nullptr && first->encoding != nullptr) {
        CString encoding;
        encoding.AssignString(*first->encoding);
        if (EqualsIgnoringCase(encoding.WideText(), "utf-8")) {
            out.Append("encoding=\"");
            out.Append(encoding.Bytes());
            out.Append("\" ");
        }
    }
    out.Append("?>\r\n");
    WriteNodes(out, first);
    return out.Release();
}

void CXml::WriteNodes(CXmlString& out, const XmlNode* node) {
    for (; node != nullptr; node = node->nextSibling) {
        const char* name = node->name != nullptr ? node->name->Bytes() : nullptr;
        out.Append("<");
        out.Append(name);
        if (node->attributes != nullptr) {
            out.Append(" ");
            for (const XmlAttribute* a = node->attributes; a != nullptr; a = a->next) {
                out.Append(a->name != nullptr ? a->name->Bytes() : nullptr);
                out.Append("=\"");
                EscapeText(out, a->value);
                out.Append("\" ");
            }
        }
        if (node->text != nullptr || node->firstChild != nullptr) {
            out.Append(">");
            EscapeText(out, node->text);
            WriteNodes(out, node->firstChild);
            out.Append("</");
            out.Append(name);
            out.Append(">\r\n");
        } else {
            out.Append("/>\r\n");
        }
    }
}

void CXml::EscapeText(CXmlString& out, const CString* text) {
    if (text == nullptr) return;
    CString copy;
    copy.AssignString(*text);
    const wchar_t* wide = copy.WideText();
    if (wide == nullptr) return;
    // Runs without entity characters are converted whole, so that a character made of two
    // UTF-16 units (outside the Basic Multilingual Plane) stays one character.
    auto flush = [&](const wchar_t* from, int count) {
        if (count <= 0) return;
        char* bytes = FromWide(from, count, out.CodePage());
        out.Append(bytes);
        delete[] bytes;
    };
    // Blanks at either end are written as character references: the reader takes literal
    // blanks there for layout and drops them, so only this way do they come back.
    int length = 0;
    while (wide[length] != 0) ++length;
    int first = 0;
    while (first < length && IsBlank(wide[first])) ++first;
    int last = length;
    while (last > first && IsBlank(wide[last - 1])) --last;
    int runStart = 0;
    int i = 0;
    for (; wide[i] != 0; ++i) {
        if (i < first || i >= last) {
            flush(wide + runStart, i - runStart);
            char reference[8];
            std::snprintf(reference, sizeof reference, "&#%d;", static_cast<int>(wide[i]));
            out.Append(reference);
            runStart = i + 1;
            continue;
        }
        for (const Entity& e : kEntities) {
            if (wide[i] == static_cast<wchar_t>(e.character)) {
                flush(wide + runStart, i - runStart);
                out.Append(e.text);
                runStart = i + 1;
                break;
            }
        }
    }
    flush(wide + runStart, i - runStart);
}

// ---- Tree operations ---------------------------------------------------------------------

XmlNode* NewNode(const wchar_t* name, const wchar_t* text) {
    XmlNode* node = new (std::nothrow) XmlNode();
    if (node == nullptr) return nullptr;
    node->name = NewString(name);
    node->text = NewString(text);
    if ((name != nullptr && node->name == nullptr) || (text != nullptr && node->text == nullptr)) {
        FreeTree(node);
        return nullptr;
    }
    return node;
}

void AppendChild(XmlNode* parent, XmlNode* child) {
    if (parent == nullptr || child == nullptr) return;
    XmlNode** tail = &parent->firstChild;
    while (*tail != nullptr) tail = &(*tail)->nextSibling;
    *tail = child;
}

void AddChildElement(XmlNode* parent, const wchar_t* name, const wchar_t* text) {
    if (XmlNode* child = NewNode(name, text)) AppendChild(parent, child);
}

XmlNode* FindNextSibling(const XmlNode* element, const wchar_t* name) {
    if (element == nullptr) return nullptr;
    for (XmlNode* n = element->nextSibling; n != nullptr; n = n->nextSibling) {
        if (n->name != nullptr && n->name->Equals(name)) return n;
    }
    return nullptr;
}

XmlNode* FindChild(const XmlNode* parent, const wchar_t* name) {
    if (parent == nullptr || parent->firstChild == nullptr) return nullptr;
    XmlNode* first = parent->firstChild;
    if (first->name != nullptr && first->name->Equals(name)) return first;
    return FindNextSibling(first, name);
}

const wchar_t* NodeText(const XmlNode* element) {
    if (element == nullptr || element->text == nullptr) return nullptr;
    return element->text->WideText();
}

int NodeInt(const XmlNode* element, int def) {
    const wchar_t* text = NodeText(element);
    if (text == nullptr) return def;
    while (IsBlank(*text)) ++text;
    if (*text == 0) return def;
    bool negative = false;
    if (*text == L'-') {
        negative = true;
        ++text;
    }
    std::uint32_t value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        value = value * 10u + static_cast<std::uint32_t>(*text - L'0');
    }
    while (IsBlank(*text)) ++text;
    if (*text != 0) return def;
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

void FreeTree(XmlNode* first) {
    while (first != nullptr) {
        XmlNode* next = first->nextSibling;
        FreeTree(first->firstChild);
        FreeAttributes(first->attributes);
        delete first->name;
        delete first->text;
        delete first->encoding;
        delete first;
        first = next;
    }
}
