// Fuzzes the settings file's XML reader and writer and the settings read from a document. What
// must hold whatever the bytes are:
// - a document that loads can be written out, and what is written loads again into the same
//   tree; from then on writing and reading change nothing (the first writing may still differ:
//   an element whose text is present but empty is written "<a></a>" and read back as "<a/>");
// - settings read from a document, written and read back, are the same settings.
// A violation aborts, so libFuzzer records the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "settings/app_parameter.h"
#include "settings/xml.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct TreeDeleter {
    void operator()(XmlNode* node) const { FreeTree(node); }
};
using Tree = std::unique_ptr<XmlNode, TreeDeleter>;
using Text = std::unique_ptr<char[]>;

bool SameText(const CString& a, const CString& b) {
    if (a.Length() != b.Length()) return false;
    return a.Length() == 0 ||
           std::memcmp(a.Bytes(), b.Bytes(), static_cast<size_t>(a.Length())) == 0;
}

// Absent and empty strings are the same text: NodeText gives null for both.
bool SameText(const CString* a, const CString* b) {
    const CString empty;
    return SameText(a != nullptr ? *a : empty, b != nullptr ? *b : empty);
}

// The same names, texts and attributes in the same places, through the siblings and children.
bool SameTree(const XmlNode* a, const XmlNode* b, int depth = 0) {
    for (; a != nullptr && b != nullptr; a = a->nextSibling, b = b->nextSibling) {
        if (!SameText(a->name, b->name) || !SameText(a->text, b->text)) return false;
        const XmlAttribute* x = a->attributes;
        const XmlAttribute* y = b->attributes;
        for (; x != nullptr && y != nullptr; x = x->next, y = y->next) {
            if (!SameText(x->name, y->name) || !SameText(x->value, y->value)) return false;
        }
        if (x != nullptr || y != nullptr) return false;
        if (depth > CXml::kMaxDepth || !SameTree(a->firstChild, b->firstChild, depth + 1)) {
            return false;
        }
    }
    return a == nullptr && b == nullptr;
}

// The settings a document holds, through the program's own settings object. The object also
// looks for a settings file when it is made (working folder, beside the program, the user's
// settings folder): the fuzzer is run where there is none.
void CheckSettingsRoundTrip(CXml& xml, XmlNode* first) {
    CAppParameter read;
    read.ReadSettings(xml, first);

    // Written as Save writes them, then read into a fresh object as Load reads them.
    Tree container(NewNode(L"root", nullptr));
    Check(container != nullptr, "a container can be made");
    read.WriteSettings(xml, container.get());
    Check(container->firstChild != nullptr, "the settings are written");
    Text text(xml.SerializeDocument(container->firstChild));
    Check(text != nullptr, "the settings can be serialized");
    CXml reader;
    Tree again(reader.LoadDocument(text.get(), static_cast<int>(std::strlen(text.get()))));
    Check(again != nullptr, "written settings load");
    CAppParameter back;
    back.ReadSettings(reader, again.get());

    Check(back.savedLanguage == read.savedLanguage && back.fontSize == read.fontSize &&
              back.logEnabled == read.logEnabled && back.viewToolbar == read.viewToolbar &&
              back.viewStatusbar == read.viewStatusbar && back.frequency == read.frequency &&
              back.channels == read.channels,
          "numeric settings survive writing and reading");
    Check(SameText(back.fontName, read.fontName) && SameText(back.tempPath, read.tempPath) &&
              SameText(back.logPath, read.logPath) && SameText(back.outputPath, read.outputPath),
          "text settings survive writing and reading");
    Check(back.colorCount == read.colorCount, "the colour count is fixed");
    for (int i = 0; i < read.colorCount; ++i) {
        Check(back.colors[i].text == read.colors[i].text &&
                  back.colors[i].background == read.colors[i].background,
              "colours survive writing and reading");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 24)) return 0;
    CXml xml;
    Tree first(xml.LoadDocument(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    if (!first) return 0;

    // Without a "config" element there are no settings to read.
    if (CCommConfig::FindConfig(first.get()) != nullptr) CheckSettingsRoundTrip(xml, first.get());

    Text text(xml.SerializeDocument(first.get()));
    Check(text != nullptr, "a loaded document can be serialized");
    const int length = static_cast<int>(std::strlen(text.get()));

    CXml reader;
    Tree second(reader.LoadDocument(text.get(), length));
    Check(second != nullptr, "a serialized document loads");
    Check(SameTree(first.get(), second.get()), "a serialized document loads into the same tree");
    Text again(reader.SerializeDocument(second.get()));
    Check(again != nullptr, "a reloaded document can be serialized");

    CXml third;
    Tree reloaded(third.LoadDocument(again.get(), static_cast<int>(std::strlen(again.get()))));
    Check(reloaded != nullptr && SameTree(second.get(), reloaded.get()),
          "a reserialized document loads into the same tree");
    Text last(third.SerializeDocument(reloaded.get()));
    Check(last != nullptr && std::strcmp(again.get(), last.get()) == 0,
          "writing and reading again change nothing");
    return 0;
}
