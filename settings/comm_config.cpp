#include "settings/comm_config.h"

#include <cstring>
#include <memory>
#include <new>

#include "base/diagnostic.h"
#include "base/filename.h"
#include "base/format.h"
#include "media/file.h"
#include "platform/platform.h"

namespace {

constexpr ColorEntry kBuiltInColors[] = {
    {0x000000, 0xFFFFFF},  // "Text Color (Normal)"
    {0xC8C8C8, 0xFFFFFF},  // "Line Color"
};
constexpr int kBuiltInColorCount = 2;

// Settings files are a few kilobytes; anything larger than this is not one and is not read.
constexpr std::uint64_t kMaxSettingsBytes = 1u << 20;

// A platform path query (ProgramPath, CurrentFolder) into a CString, whole or not at all.
void QueryPath(int (*query)(wchar_t*, int), CString& path) {
    path.Clear();
    int length = query(nullptr, 0);
    if (length <= 0) return;
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[static_cast<size_t>(length) + 1]);
    if (buffer && query(buffer.get(), length + 1) == length) path.Assign(buffer.get(), length);
}

// folder + separator + the settings file's name; empty when the folder is.
void SettingsFileIn(const CString& folder, CString& path) {
    path.Clear();
    if (folder.Length() == 0) return;
    path.AssignString(folder);
    const wchar_t separator[] = {platform::kPathSeparator, 0};
    path.Append(separator);
    path.Append(kSettingsFileName);
}

// The platform's folder for user settings, the program's folder in it and the settings file
// there; all empty when the platform has no such folder.
void UserSettingsPaths(CString& base, CString& folder, CString& file) {
    QueryPath(platform::UserConfigFolder, base);
    folder.Clear();
    if (base.Length() > 0) {
        folder.AssignString(base);
        const wchar_t separator[] = {platform::kPathSeparator, 0};
        folder.Append(separator);
        folder.Append(kUserSettingsFolderName);
    }
    SettingsFileIn(folder, file);
}

// Whether a regular file opens for reading there: what LocateSettingsFile counts as found.
bool IsReadableFile(const CString& path) {
    CFile probe;
    return path.Length() > 0 && probe.OpenForRead(path) != 0;
}

bool SameBytes(const CString& a, const CString& b) {
    return a.Length() == b.Length() &&
           (a.Length() == 0 || std::memcmp(a.Bytes(), b.Bytes(), a.Length()) == 0);
}

void AddNumber(XmlNode* parent, const wchar_t* name, int value) {
    wchar_t number[64];
    FormatTextN(number, 64, L"%d", value);
    AddChildElement(parent, name, number);
}

void AddText(XmlNode* parent, const wchar_t* name, const CString& value) {
    CString copy;
    copy.AssignString(value);
    AddChildElement(parent, name, copy.WideText());
}

// A text setting: the element's text, or fallback when it is absent or has no content.
void ReadText(const XmlNode* config, const wchar_t* name, const CString& fallback, CString& field) {
    const wchar_t* text = NodeText(FindChild(config, name));
    if (text != nullptr) {
        field.Assign(text);
    } else {
        field.AssignString(fallback);
    }
}

}  // namespace

CCommConfig::CCommConfig() {
    CaptureStartPaths();
    tempPath.AssignString(currentPath);
    logPath.AssignString(currentPath);
    defaultColors = new (std::nothrow) ColorEntry[kBuiltInColorCount];
    colors = new (std::nothrow) ColorEntry[kBuiltInColorCount];
    if (defaultColors != nullptr && colors != nullptr) {
        colorCount = kBuiltInColorCount;
        for (int i = 0; i < colorCount; ++i) defaultColors[i] = colors[i] = kBuiltInColors[i];
    }
}

CCommConfig::~CCommConfig() {
    delete[] defaultColors;
    delete[] colors;
}

const wchar_t* CCommConfig::GetVersionText() const {
    return L"0.0.0.0";
}
const wchar_t* CCommConfig::GetTitle(int) const {
    return L"";
}
ResourceName CCommConfig::GetMenuResource(int) const {
    return L"";
}
const wchar_t* CCommConfig::GetHelpUrl(int) const {
    return L"";
}
int CCommConfig::GetMenuPosition(const wchar_t*) const {
    return 0;
}
ResourceName CCommConfig::GetResourceId(int) const {
    return L"";
}
void CCommConfig::Initialize() {}
void CCommConfig::Start() {
    Initialize();
}

void CCommConfig::CaptureStartPaths() {
    CString program;
    QueryPath(platform::ProgramPath, program);
    CFileName name;
    name.SetPath(program.Bytes() != nullptr ? program.Bytes() : "");
    appPath.AssignString(name.Folder);
    QueryPath(platform::CurrentFolder, currentPath);
    DiagnosticPrint(L"app_path     = %s\n", appPath.WideText());
    DiagnosticPrint(L"current_path = %s\n", currentPath.WideText());
}

void CCommConfig::UserSettingsFile(CString& path) {
    CString base, folder;
    UserSettingsPaths(base, folder, path);
}

const wchar_t* CCommConfig::WhyNotReplaceable(const CString& path) {
    CString copy;
    copy.AssignString(path);
    switch (platform::CanReplace(copy.WideText())) {
        case platform::Replaceable::Yes:
            break;
        case platform::Replaceable::FolderClosed:
            return L"its folder does not take new files";
        case platform::Replaceable::ReadOnly:
            return L"it is read-only";
        case platform::Replaceable::Protected:
            return L"this user may not replace it";
    }
    if (!CFile::HasFreeTemporaryName(path)) {
        return L"the temporary names beside it, .tmp to .tmp99, are all taken";
    }
    return nullptr;
}

void CCommConfig::LocateSettingsFile() {
    CString candidates[3];
    SettingsFileIn(currentPath, candidates[0]);
    SettingsFileIn(appPath, candidates[1]);
    UserSettingsFile(candidates[2]);
    settingsPath.AssignString(candidates[1]);
    unreplaceableAt = -1;
    whyUnreplaceable = nullptr;
    passedOver = false;
    for (int i = 0; i < 3; ++i) {
        if (!IsReadableFile(candidates[i])) continue;
        settingsPath.AssignString(candidates[i]);
        // Save writes the user's file instead of one it cannot replace, so once that file
        // exists it holds the latest settings.
        if (i < 2 && (whyUnreplaceable = WhyNotReplaceable(candidates[i])) != nullptr) {
            unreplaceableAt = i;
            passedOver = IsReadableFile(candidates[2]);
            if (passedOver) settingsPath.AssignString(candidates[2]);
        }
        break;
    }
    DiagnosticPrint(L"ini_file = %s\n", settingsPath.WideText());
    if (settingsPath.Length() == 0) {
        DiagnosticPrint(
            L"no settings file: neither the working folder nor the program's is known\n");
    }
}

bool CCommConfig::Load() {
    CFile file;
    if (!file.OpenForRead(settingsPath)) return false;
    const std::uint64_t size = file.Size();
    if (size == 0 || size > kMaxSettingsBytes) return false;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer) return false;
    const std::uint32_t bytes = static_cast<std::uint32_t>(size);
    if (file.Read(buffer.get(), bytes, 0) != bytes) return false;
    file.Close();

    CXml xml;
    XmlNode* first = xml.LoadDocument(buffer.get(), static_cast<int>(bytes));
    if (first == nullptr) return false;
    ReadSettings(xml, first);
    FreeTree(first);
    return true;
}

bool CCommConfig::Save() {
    if (settingsPath.Length() == 0) return false;
    // The test LocateSettingsFile applies. A file that can be replaced is written where it is
    // or not at all, since the next start reads it again; one that cannot is not tried, and
    // the copy in the user's folder that the next start then reads takes the settings.
    const bool present = IsReadableFile(settingsPath);
    if (!present || WhyNotReplaceable(settingsPath) == nullptr) {
        if (SaveToSettingsPath()) return true;
        if (present) return false;  // a write error, such as a full disk
    }
    // The file cannot be made where it would be (a program folder that is read-only, say), or
    // cannot be replaced: the user's own settings folder, and its parent, are made when needed
    // and take the settings from now on.
    CString base, folder, file;
    UserSettingsPaths(base, folder, file);
    if (file.Length() == 0 || SameBytes(file, settingsPath)) return false;
    platform::CreateFolder(base.WideText());
    if (!platform::CreateFolder(folder.WideText())) return false;
    CString previous;
    previous.AssignString(settingsPath);
    settingsPath.AssignString(file);
    if (!SaveToSettingsPath()) {
        settingsPath.AssignString(previous);
        return false;
    }
    DiagnosticPrint(L"ini_file = %s\n", settingsPath.WideText());
    return true;
}

bool CCommConfig::SaveToSettingsPath() {
    if (settingsPath.Length() == 0) return false;
    CXml xml;
    XmlNode* container = NewNode(L"root", nullptr);
    if (container == nullptr) return false;
    WriteSettings(xml, container);
    std::unique_ptr<char[]> text(
        container->firstChild != nullptr ? xml.SerializeDocument(container->firstChild) : nullptr);
    FreeTree(container);
    if (!text) return false;
    std::uint32_t length = 0;
    while (text[length] != 0) ++length;

    // Write everything to a temporary file beside the settings file, then let it take the old
    // file's place in one step: whatever fails, the previous settings stay readable.
    CString temporary;
    CFile file;
    if (file.CreateTemporaryBeside(settingsPath) != 0) return false;
    temporary.AssignString(file.Name());
    bool ok = file.Write(text.get(), length) == length;
    if (ok) ok = file.Flush() != 0;
    file.Close();
    CString target;
    target.AssignString(settingsPath);
    if (ok) ok = platform::RenameOver(temporary.WideText(), target.WideText());
    if (!ok) platform::DeleteFilePath(temporary.WideText());
    return ok;
}

XmlNode* CCommConfig::FindConfig(XmlNode* first) {
    if (first == nullptr || (first->name != nullptr && first->name->Equals(L"config"))) {
        return first;
    }
    return FindNextSibling(first, L"config");
}

void CCommConfig::ReadSettings(CXml&, XmlNode* first) {
    const XmlNode* config = FindConfig(first);
    if (config == nullptr) return;

    savedLanguage = NodeInt(FindChild(config, L"language"), -1);
    const CString none;
    ReadText(config, L"font_name", none, fontName);
    fontSize = NodeInt(FindChild(config, L"font_size"), 0);
    ReadText(config, L"temp_path", currentPath, tempPath);
    logEnabled = NodeInt(FindChild(config, L"log_enabled"), 0);
    ReadText(config, L"log_path", currentPath, logPath);
    viewToolbar = NodeInt(FindChild(config, L"view_toolbar"), 1);
    viewStatusbar = NodeInt(FindChild(config, L"view_statusbar"), 1);

    const XmlNode* colorList = FindChild(config, L"colors");
    if (colorList == nullptr) return;
    for (const XmlNode* color = FindChild(colorList, L"color"); color != nullptr;
         color = FindNextSibling(color, L"color")) {
        const int index = NodeInt(FindChild(color, L"index"), colorCount);
        if (index < 0 || index >= colorCount) continue;
        const ColorEntry& builtIn = defaultColors[index];
        colors[index].text = static_cast<std::uint32_t>(
            NodeInt(FindChild(color, L"text"), static_cast<int>(builtIn.text)));
        colors[index].background = static_cast<std::uint32_t>(
            NodeInt(FindChild(color, L"background"), static_cast<int>(builtIn.background)));
    }
}

void CCommConfig::WriteSettings(CXml&, XmlNode* container) {
    XmlNode* config = NewNode(L"config", nullptr);
    if (config == nullptr) return;
    AppendChild(container, config);
    AddNumber(config, L"language", savedLanguage);
    AddText(config, L"font_name", fontName);
    AddNumber(config, L"font_size", fontSize);
    AddText(config, L"temp_path", tempPath);
    AddNumber(config, L"log_enabled", logEnabled);
    AddText(config, L"log_path", logPath);
    AddNumber(config, L"view_toolbar", viewToolbar);
    AddNumber(config, L"view_statusbar", viewStatusbar);

    XmlNode* colorList = NewNode(L"colors", nullptr);
    if (colorList == nullptr) return;
    AppendChild(config, colorList);
    for (int i = 0; i < colorCount; ++i) {
        XmlNode* color = NewNode(L"color", nullptr);
        if (color == nullptr) continue;
        AppendChild(colorList, color);
        AddNumber(color, L"index", i);
        AddNumber(color, L"text", static_cast<int>(colors[i].text));
        AddNumber(color, L"background", static_cast<int>(colors[i].background));
    }
}
