// The settings file's XML reader and writer: a forgiving byte-level parser that turns a
// document into a tree of elements, a writer that turns a tree back into UTF-8 document bytes,
// and the few tree operations the configuration code needs.
//
// It knows elements, attributes, character data, the five predefined entities, character
// references (&#N; and &#xH;), comments in front of elements and the declaration with its
// encoding (UTF-8, or Shift-JIS when the declaration says "shift_jis"); nothing else.
//
// Texts and attribute values keep their blanks as they are, except literal blanks at either
// end, which are layout (indentation, line breaks) and are dropped. The writer writes blanks
// at either end of a value as character references, so that every text it writes reads back
// character for character.
#pragma once

#include <cstdint>

#include "base/cstring.h"

struct XmlAttribute {
    XmlAttribute* next = nullptr;
    CString* name = nullptr;
    CString* value = nullptr;  // null when absent
};

struct XmlNode {
    XmlNode* nextSibling = nullptr;
    XmlNode* firstChild = nullptr;
    XmlAttribute* attributes = nullptr;
    CString* name = nullptr;
    CString* text = nullptr;      // null when the element has no character data
    CString* encoding = nullptr;  // first top-level element of a parsed document only
};

// The parse position over a document buffer.
struct XmlCursor {
    const char* bytes = nullptr;
    std::int32_t size = 0;
    std::int32_t position = 0;
};

// The writer's growable, NUL-terminated output buffer.
class CXmlString {
  public:
    explicit CXmlString(unsigned codePage = kCodePageUtf8) : m_codePage(codePage) {}
    CXmlString(const CXmlString&) = delete;
    CXmlString& operator=(const CXmlString&) = delete;
    virtual ~CXmlString();

    // Appends n bytes; a piece that cannot be allocated is dropped.
    void Append(const char* bytes, int n);
    void Append(const char* text);
    // Hands the bytes over to the caller (delete[]); the buffer is empty afterwards.
    char* Release();
    int Length() const { return m_length; }
    unsigned CodePage() const { return m_codePage; }

  private:
    char* m_bytes = nullptr;
    std::int32_t m_capacity = 0;
    std::int32_t m_length = 0;
    unsigned m_codePage;
};

// Reader and writer state: the code page of the document bytes.
class CXml {
  public:
    CXml() = default;
    virtual ~CXml() = default;

    // Parses a document; null when it is unreadable (no declaration first, a malformed one,
    // or no first element). The caller frees the result with FreeTree.
    XmlNode* LoadDocument(const char* bytes, int count);
    // Writes first and its following siblings as a UTF-8 document: new bytes the caller
    // frees with delete[], or null.
    char* SerializeDocument(const XmlNode* first);

    unsigned codePage = kCodePageUtf8;

    // Elements nested deeper than this end the parse like an unreadable element.
    static constexpr int kMaxDepth = 256;

  private:
    bool ParseDeclaration(XmlCursor& cursor, CString** encoding);
    XmlNode* ParseElement(XmlCursor& cursor, int depth);
    XmlAttribute* ParseAttribute(XmlCursor& cursor);
    CString* ReadName(XmlCursor& cursor);
    CString* ReadText(XmlCursor& cursor, char quote);
    CString* DecodeText(const char* bytes, int count);
    CString* MakeString(const char* bytes, int count);
    void WriteNodes(CXmlString& out, const XmlNode* node);
    void EscapeText(CXmlString& out, const CString* text);
};

// A new detached element with copies of name and text (each absent when null); null when
// memory runs out. Freed with FreeTree unless appended to a parent.
XmlNode* NewNode(const wchar_t* name, const wchar_t* text);
// Makes child the last child of parent; the parent owns it from then on.
void AppendChild(XmlNode* parent, XmlNode* child);
// NewNode then AppendChild; nothing is added when NewNode fails.
void AddChildElement(XmlNode* parent, const wchar_t* name, const wchar_t* text);
// The first child (or following sibling) whose name equals name exactly, or null.
XmlNode* FindChild(const XmlNode* parent, const wchar_t* name);
XmlNode* FindNextSibling(const XmlNode* element, const wchar_t* name);
// The element's text as wide text, or null when it has none or it is empty.
const wchar_t* NodeText(const XmlNode* element);
// The element's text as a decimal integer (an optional '-' and digits, wrapping in 32 bits,
// with blanks on either side), or def when the element is null, has no text, holds only
// blanks, or holds anything else.
int NodeInt(const XmlNode* element, int def);
// Frees node, every following sibling, their descendants, attributes and strings.
void FreeTree(XmlNode* first);
