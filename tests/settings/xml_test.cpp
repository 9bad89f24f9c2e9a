#include "settings/xml.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace {

using testing_support::Utf8;

struct TreeDeleter {
    void operator()(XmlNode* node) const { FreeTree(node); }
};
using Tree = std::unique_ptr<XmlNode, TreeDeleter>;

const std::string kDeclaration = "<?xml version=\"1.0\"?>";
// What the writer puts in front of every document without a UTF-8 encoding.
const std::string kHeader = "<?xml version=\"1.0\" ?>\r\n";

Tree Load(const std::string& doc, CXml& xml) {
    return Tree(xml.LoadDocument(doc.data(), static_cast<int>(doc.size())));
}
Tree Load(const std::string& doc) {
    CXml xml;
    return Load(doc, xml);
}

// A tree as compact text: name, [attribute=value] ([attribute] when absent), "text" when
// present, (children); siblings separated by a space.
std::string Dump(const XmlNode* node) {
    std::string out;
    for (; node != nullptr; node = node->nextSibling) {
        if (!out.empty()) out += ' ';
        out += node->name != nullptr ? Utf8(*node->name) : "?";
        for (const XmlAttribute* a = node->attributes; a != nullptr; a = a->next) {
            out += "[" + Utf8(*a->name);
            if (a->value != nullptr) out += "=" + Utf8(*a->value);
            out += "]";
        }
        if (node->text != nullptr) out += "\"" + Utf8(*node->text) + "\"";
        if (node->firstChild != nullptr) out += "(" + Dump(node->firstChild) + ")";
    }
    return out;
}

std::string DumpDocument(const std::string& doc) {
    Tree tree = Load(doc);
    return tree ? Dump(tree.get()) : "unreadable";
}

std::string Write(const XmlNode* first) {
    CXml xml;
    char* bytes = xml.SerializeDocument(first);
    std::string out = bytes != nullptr ? bytes : "";
    delete[] bytes;
    return out;
}

struct ReadCase {
    std::string doc;
    const char* tree;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.doc);
}

class XmlRead : public testing::TestWithParam<ReadCase> {};

TEST_P(XmlRead, BuildsTheExpectedTree) {
    EXPECT_EQ(DumpDocument(GetParam().doc), GetParam().tree) << GetParam().doc;
}

INSTANTIATE_TEST_SUITE_P(
    XmlDeclaration, XmlRead,
    testing::Values(ReadCase{"<a/>", "unreadable"},
                    ReadCase{"\xEF\xBB\xBF" + kDeclaration + "<a/>", "unreadable"},
                    ReadCase{"<?xml?><a/>", "unreadable"},
                    ReadCase{"<?xml version=1.0?><a/>", "unreadable"},
                    ReadCase{"<?xml version=\"1.0\"", "unreadable"},
                    ReadCase{kDeclaration + "  <!-- only a comment -->", "unreadable"},
                    ReadCase{" \r\n<?xml version='1.0' ?>\r\n<a/>", "a"}));

INSTANTIATE_TEST_SUITE_P(
    XmlContent, XmlRead,
    testing::Values(
        ReadCase{kDeclaration + "<a/>", "a"}, ReadCase{kDeclaration + "<a />", "a"},
        ReadCase{kDeclaration + "<a></a>", "a"},
        ReadCase{kDeclaration + "<a>a &lt; b</a>", "a\"a < b\""},
        ReadCase{kDeclaration + "<a>&amp;lt;</a>", "a\"&lt;\""},
        ReadCase{kDeclaration + "<a>&#65; x & y</a>", "a\"A x & y\""},
        ReadCase{kDeclaration + "<a>&#x1f3b5;|&#X41;&#65 &#;&#0;&#xD800;&#1114112;</a>",
                 "a\"\xF0\x9F\x8E\xB5|&#X41;&#65 &#;&#0;&#xD800;&#1114112;\""},
        ReadCase{kDeclaration + "<a>&quot;&apos;&gt;</a>", "a\"\"'>\""},
        ReadCase{kDeclaration + "<a>\r\n\t two \n\n  words\t</a>", "a\"two \n\n  words\""},
        ReadCase{kDeclaration + "<a> &#32;x\t&#9; </a>", "a\" x\t\t\""},
        ReadCase{kDeclaration + "\n<a>\n  <b>1</b>\n  <c/>\n</a>\n", "a(b\"1\" c)"},
        ReadCase{kDeclaration + "<!-- x --><a><!-- y --><b/></a><!-- z --><c/>", "a(b) c"},
        ReadCase{kDeclaration + "<a><x>0</x><b>1</c><y/></a><z/>", "a(x\"0\")"},
        ReadCase{kDeclaration + "<a v=' x  \"y\"\t' w=\"1\"/>", "a[v=x  \"y\"][w=1]"},
        ReadCase{kDeclaration + "<a v=\"b>c</a>", "a[v]\"c\""},
        ReadCase{kDeclaration + "<a><b>1</b>", "a(b\"1\")"},
        ReadCase{kDeclaration + "<a/>garbage<b/>", "a"}));

// The same document in Shift-JIS and in UTF-8 reads into the same strings; the declaration's
// attribute name is case-sensitive, its encoding value is not, and unknown values mean UTF-8.
struct EncodingCase {
    const char* declaration;
    bool shiftJis;
    unsigned codePage;
};

void PrintTo(const EncodingCase& c, std::ostream* os) {
    *os << testing::PrintToString(std::string(c.declaration));
}

class XmlEncoding : public testing::TestWithParam<EncodingCase> {};

TEST_P(XmlEncoding, ReadsTheSameStrings) {
    const EncodingCase& c = GetParam();
    const std::string body =
        c.shiftJis ? "<\x89\xB9\x8A\x79 \x8B\xC8='\x95\x5C'>\x83\x5C \x95\x5C</\x89\xB9\x8A\x79>"
                   : u8"<音楽 曲='表'>ソ 表</音楽>";
    CXml xml;
    Tree tree = Load(std::string("<?xml version=\"1.0\" ") + c.declaration + "?>" + body, xml);
    ASSERT_TRUE(tree) << c.declaration;
    EXPECT_EQ(Dump(tree.get()), u8"音楽[曲=表]\"ソ 表\"") << c.declaration;
    EXPECT_EQ(xml.codePage, c.codePage) << c.declaration;
}

INSTANTIATE_TEST_SUITE_P(XmlDeclarations, XmlEncoding,
                         testing::Values(EncodingCase{"encoding=\"Shift_JIS\"", true, 932},
                                         EncodingCase{"encoding='SHIFT_JIS'", true, 932},
                                         EncodingCase{"encoding=\"UTF-8\"", false, 65001},
                                         EncodingCase{"encoding=\"latin-1\"", false, 65001},
                                         EncodingCase{"ENCODING=\"shift_jis\"", false, 65001},
                                         EncodingCase{"", false, 65001}));

TEST(XmlParse, NoProgressIsReportedWithTheByteOffset) {
    testing_support::DiagnosticRecorder recorder;
    EXPECT_EQ(DumpDocument(kDeclaration + "<a><b>1</b></a>"), "a(b\"1\")");
    EXPECT_TRUE(recorder.Lines().empty());
    // A '>' in content cannot be read as text and the cursor cannot move past it.
    EXPECT_EQ(DumpDocument(kDeclaration + "<a>></a>"), "a");
    EXPECT_EQ(recorder.Lines(), std::vector<std::wstring>{L"XML parse error (24)\n"});
}

// Nesting beyond the limit ends the parse there instead of exhausting the stack; the
// elements complete before that point and the enclosing ones stay.
TEST(XmlParse, DeepNestingStopsAtTheDepthLimit) {
    for (int levels : {CXml::kMaxDepth, 100000}) {
        std::string doc = kDeclaration + "<r><k>1</k>";
        for (int i = 1; i < levels; ++i) doc += "<d>";
        doc += "x";
        for (int i = 1; i < levels; ++i) doc += "</d>";
        doc += "</r>";
        Tree tree = Load(doc);
        ASSERT_TRUE(tree) << levels;
        EXPECT_EQ(NodeInt(FindChild(tree.get(), L"k"), 0), 1);
        int depth = 1;
        const XmlNode* deepest = tree.get();
        for (XmlNode* n = FindChild(deepest, L"d"); n != nullptr; n = FindChild(n, L"d")) {
            deepest = n;
            ++depth;
        }
        EXPECT_EQ(depth, CXml::kMaxDepth) << levels;
        EXPECT_EQ(Utf8(NodeText(deepest)), levels == CXml::kMaxDepth ? "x" : "") << levels;
    }
}

TEST(XmlTree, FindChildMatchesNamesExactlyAndWalksRepeatedEntries) {
    Tree tree = Load(kDeclaration +
                     "<c><Language>2</Language><language>1</language>"
                     "<entry>a</entry><x/><entry>b</entry></c>");
    ASSERT_TRUE(tree);
    EXPECT_EQ(NodeInt(FindChild(tree.get(), L"language"), 0), 1);
    EXPECT_EQ(FindChild(tree.get(), L"LANGUAGE"), nullptr);
    EXPECT_EQ(FindChild(FindChild(tree.get(), L"x"), L"entry"), nullptr);
    std::string entries;
    for (XmlNode* e = FindChild(tree.get(), L"entry"); e; e = FindNextSibling(e, L"entry")) {
        entries += Utf8(NodeText(e));
    }
    EXPECT_EQ(entries, "ab");
}

TEST(XmlTree, NodeIntReadsSignedDecimalOrTheDefault) {
    struct Case {
        const wchar_t* text;
        int expected;
    } const cases[] = {{L"-12", -12},      {L" \t7", 7},         {L"12a", 99},
                       {L"+5", 99},        {L"1 2", 99},         {L"-", 0},
                       {L"", 99},          {nullptr, 99},        {L"4294967295", -1},
                       {L"4294967296", 0}, {L"\r\n-3 \t\n", -3}, {L" \r\n", 99}};
    for (const Case& c : cases) {
        Tree node(NewNode(L"n", c.text));
        EXPECT_EQ(NodeInt(node.get(), 99), c.expected) << Utf8(c.text);
    }
    EXPECT_EQ(NodeInt(nullptr, 99), 99);
}

TEST(XmlWrite, ConfigurationTreeLayout) {
    Tree scratch(NewNode(nullptr, nullptr));
    XmlNode* config = NewNode(L"config", nullptr);
    AppendChild(scratch.get(), config);
    AddChildElement(config, L"language", L"1");
    AddChildElement(config, L"font_name", nullptr);
    XmlNode* colors = NewNode(L"colors", nullptr);
    AppendChild(config, colors);
    XmlNode* color = NewNode(L"color", nullptr);
    AppendChild(colors, color);
    AddChildElement(color, L"index", L"0");
    AddChildElement(color, L"text", L"0");
    const std::string written = Write(scratch->firstChild);
    EXPECT_EQ(written, kHeader +
                           "<config><language>1</language>\r\n"
                           "<font_name/>\r\n"
                           "<colors><color><index>0</index>\r\n"
                           "<text>0</text>\r\n"
                           "</color>\r\n"
                           "</colors>\r\n"
                           "</config>\r\n");
    EXPECT_EQ(DumpDocument(written),
              "config(language\"1\" font_name colors(color(index\"0\" text\"0\")))");
}

TEST(XmlWrite, EmptyTextKeepsBothTagsAndNullTextIsAnEmptyElement) {
    Tree empty(NewNode(L"name", L""));
    Tree none(NewNode(L"name", nullptr));
    EXPECT_EQ(Write(empty.get()), kHeader + "<name></name>\r\n");
    EXPECT_EQ(Write(none.get()), kHeader + "<name/>\r\n");
}

TEST(XmlWrite, EntityCharactersAreEscapedAndReadBack) {
    const wchar_t* text = L"<a> & \"b\" 'c'";
    Tree node(NewNode(L"t", text));
    const std::string written = Write(node.get());
    EXPECT_EQ(written, kHeader + "<t>&lt;a&gt; &amp; &quot;b&quot; &apos;c&apos;</t>\r\n");
    EXPECT_EQ(DumpDocument(written), "t\"" + Utf8(text) + "\"");

    // Blanks at either end are written as references and those inside as they are, so that
    // they read back unchanged, even in a text that holds nothing else.
    for (const auto& [blanks, bytes] :
         {std::pair<const wchar_t*, std::string>{L" \ta  b\r\n", "&#32;&#9;a  b&#13;&#10;"},
          {L" ", "&#32;"}}) {
        Tree blankNode(NewNode(L"t", blanks));
        const std::string withBlanks = Write(blankNode.get());
        EXPECT_EQ(withBlanks, kHeader + "<t>" + bytes + "</t>\r\n");
        EXPECT_EQ(DumpDocument(withBlanks), "t\"" + Utf8(blanks) + "\"");
    }

    // Attributes are written quoted, escaped, each followed by a space.
    Tree attributed = Load(kDeclaration + "<a x='1' y=\"&lt;&amp;\"/>");
    EXPECT_EQ(Write(attributed.get()), kHeader + "<a x=\"1\" y=\"&lt;&amp;\" />\r\n");

    // An absent value is written as "", which reads back as an absent value: the element and
    // the attributes after it are kept.
    const std::string emptyValue = kHeader + "<a x=\"\" y=\"2\" >t</a>\r\n";
    EXPECT_EQ(DumpDocument(emptyValue), "a[x][y=2]\"t\"");
    Tree reread = Load(emptyValue);
    ASSERT_TRUE(reread);
    EXPECT_EQ(Write(reread.get()), emptyValue);

    // Text ends at a NUL byte, and what is kept loses its trailing blank like any other text,
    // so writing and reading it again changes nothing.
    const std::string withNul = kDeclaration + std::string("<a>x \0b</a>", 11);
    EXPECT_EQ(DumpDocument(withNul), "a\"x\"");
    Tree cut = Load(withNul);
    ASSERT_TRUE(cut);
    EXPECT_EQ(DumpDocument(Write(cut.get())), "a\"x\"");
}

// The writer always produces UTF-8: a UTF-8 declaration is carried over, any other is not,
// so a Shift-JIS document is rewritten as a UTF-8 one with the same strings.
TEST(XmlWrite, OnlyAUtf8EncodingIsCarriedOver) {
    Tree utf8 = Load("<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>");
    EXPECT_EQ(Write(utf8.get()), "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n<a/>\r\n");

    Tree shiftJis = Load("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><a>\x89\xB9</a>");
    const std::string written = Write(shiftJis.get());
    EXPECT_EQ(written, kHeader + u8"<a>音</a>\r\n");
    EXPECT_EQ(DumpDocument(written), u8"a\"音\"");
}

// A character outside the Basic Multilingual Plane is one character, written as its four
// UTF-8 bytes even next to an escaped character.
TEST(XmlWrite, CharacterOutsideTheBmpSurvivesWriteAndRead) {
    const wchar_t* text = L"C:\\\U0001F3B5&\U0001F3B5";
    Tree node(NewNode(L"folder", text));
    const std::string written = Write(node.get());
    EXPECT_EQ(written, kHeader +
                           "<folder>C:\\\xF0\x9F\x8E\xB5&amp;\xF0\x9F\x8E\xB5"
                           "</folder>\r\n");
    Tree back = Load(written);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::wstring(NodeText(back.get())), text);
}

}  // namespace
