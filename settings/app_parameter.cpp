#include "settings/app_parameter.h"

#include <cwchar>
#include <utility>

#include "base/format.h"
#include "base/version.h"

CAppParameter* theSettings = nullptr;

CAppParameter::CAppParameter() {
    theSettings = this;
    Start();
}

CAppParameter::~CAppParameter() {
    if (theSettings == this) theSettings = nullptr;
}

const wchar_t* CAppParameter::GetVersionText() const {
    return kRatemillVersion;
}

const wchar_t* CAppParameter::GetTitle(int language) const {
    return language == 1 ? L"Ratemill - サンプリング周波数変換ツール"
                         : L"Ratemill - Resampling Audio Frequency";
}

ResourceName CAppParameter::GetMenuResource(int language) const {
    return GetResourceId(language == 1 ? kIdMenuJapanese : kIdMenuEnglish);
}

const wchar_t* CAppParameter::GetHelpUrl(int language) const {
    return language == 1 ? kHelpUrlJapanese : kHelpUrlEnglish;
}

int CAppParameter::GetMenuPosition(const wchar_t* name) const {
    if (name != nullptr && std::wcscmp(name, L"Help") == 0) return 1;
    return 0;  // "File" and anything else
}

ResourceName CAppParameter::GetResourceId(int id) const {
    return (id >= 10011 && id <= 10016) ? ResourceFromId(id) : nullptr;
}

void CAppParameter::Initialize() {
    toolbarHideable = 0;
    statusbarHideable = 0;
    mainWindowClass.Assign(L"RATEMILL MAIN WINDOW");
    mdiClientWindowClass.Assign(L"RATEMILL MDI CLIENT WINDOW");
    LocateSettingsFile();
}

void CAppParameter::Start() {
    Initialize();
    loaded = Load();
}

void CAppParameter::ReadSettings(CXml& xml, XmlNode* first) {
    CCommConfig::ReadSettings(xml, first);
    const XmlNode* config = FindConfig(first);
    if (config == nullptr) return;
    outputPath.Assign(NodeText(FindChild(config, L"output_path")));
    frequency = NodeInt(FindChild(config, L"frequency"), kDefaultFrequency);
    channels = NodeInt(FindChild(config, L"channels"), kDefaultChannels);
    quality = NodeInt(FindChild(config, L"quality"), 0) == 1 ? 1 : 0;
    keepMetadata = NodeInt(FindChild(config, L"keep_metadata"), 1) == 0 ? 0 : 1;
    phase = NodeInt(FindChild(config, L"phase"), 0) == 1 ? 1 : 0;
    auto choice = [&](const wchar_t* name, int count) {
        const int value = NodeInt(FindChild(config, name), 0);
        return value >= 0 && value < count ? value : 0;
    };
    sampleFormat = choice(L"sample_format", 3);
    dither = choice(L"dither", 3);
    preventClipping = choice(L"prevent_clipping", 2);
    keepSubfolders = NodeInt(FindChild(config, L"keep_subfolders"), 1) == 0 ? 0 : 1;
    skipExisting = NodeInt(FindChild(config, L"skip_existing"), 0) == 1 ? 1 : 0;
    nameTemplate.Assign(NodeText(FindChild(config, L"name_template")));
    windowWidth = NodeInt(FindChild(config, L"window_width"), 0);
    windowHeight = NodeInt(FindChild(config, L"window_height"), 0);
}

void CAppParameter::WriteSettings(CXml& xml, XmlNode* container) {
    CCommConfig::WriteSettings(xml, container);
    XmlNode* config = FindChild(container, L"config");
    if (config == nullptr) {
        config = NewNode(L"config", nullptr);
        if (config == nullptr) return;
        AppendChild(container, config);
    }
    CString folder;
    folder.AssignString(outputPath);
    AddChildElement(config, L"output_path", folder.WideText());
    wchar_t number[64];
    FormatTextN(number, 64, L"%d", frequency);
    AddChildElement(config, L"frequency", number);
    FormatTextN(number, 64, L"%d", channels);
    AddChildElement(config, L"channels", number);
    // Written only when high, so that a file of the default choices stays as it always was.
    if (quality == 1) AddChildElement(config, L"quality", L"1");
    if (keepMetadata == 0) AddChildElement(config, L"keep_metadata", L"0");
    if (phase == 1) AddChildElement(config, L"phase", L"1");
    for (auto [name, value] : {std::pair<const wchar_t*, int>{L"sample_format", sampleFormat},
                               {L"dither", dither},
                               {L"prevent_clipping", preventClipping},
                               {L"skip_existing", skipExisting}}) {
        if (value == 0) continue;
        FormatTextN(number, 64, L"%d", value);
        AddChildElement(config, name, number);
    }
    if (keepSubfolders == 0) AddChildElement(config, L"keep_subfolders", L"0");
    // "{name}" names the outputs as an empty template does.
    if (nameTemplate.Length() > 0 && !nameTemplate.Equals(L"{name}")) {
        CString name;
        name.AssignString(nameTemplate);
        AddChildElement(config, L"name_template", name.WideText());
    }
    // Only a size the user chose: the file of a window never resized stays as it was.
    if (windowWidth > 0 && windowHeight > 0) {
        FormatTextN(number, 64, L"%d", windowWidth);
        AddChildElement(config, L"window_width", number);
        FormatTextN(number, 64, L"%d", windowHeight);
        AddChildElement(config, L"window_height", number);
    }
}
