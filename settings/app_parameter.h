// The program's settings object: this program's identity values (class names, titles, menus,
// resource ids, help address, version), the conversion settings and the size the user gave the
// window, stored in the same "config" element as the common settings.
#pragma once

#include "settings/comm_config.h"

// Resource ids the program asks for.
constexpr int kIdApplicationIcon = 10011;
constexpr int kIdSecondIcon = 10012;
constexpr int kIdMenuJapanese = 10013;
constexpr int kIdMenuEnglish = 10014;
constexpr int kIdAccelerators = 10016;

// The program's web site; the help pages lie below it.
constexpr wchar_t kHelpUrlJapanese[] = L"https://ratemill.example.com/soft/ratemill/help";
constexpr wchar_t kHelpUrlEnglish[] = L"https://ratemill.example.com/en/ratemill/help";

constexpr int kDefaultFrequency = 44100;
constexpr int kDefaultChannels = 2;

class CAppParameter : public CCommConfig {
  public:
    // Builds the settings with their built-in values, makes itself theSettings, then starts:
    // sets the identity values, locates the settings file and loads it.
    CAppParameter();
    ~CAppParameter() override;

    const wchar_t* GetVersionText() const override;
    const wchar_t* GetTitle(int language) const override;
    ResourceName GetMenuResource(int language) const override;
    const wchar_t* GetHelpUrl(int language) const override;
    int GetMenuPosition(const wchar_t* name) const override;
    ResourceName GetResourceId(int id) const override;
    void Initialize() override;
    void Start() override;
    void ReadSettings(CXml& xml, XmlNode* first) override;
    void WriteSettings(CXml& xml, XmlNode* container) override;

    CString outputPath;  // empty: nothing chosen
    std::int32_t frequency = kDefaultFrequency;
    std::int32_t channels = kDefaultChannels;
    std::int32_t quality = 0;  // 0 standard, 1 high; stored only when high
    // 1: outputs keep the sources' metadata (tags, cues, loops); stored only when 0.
    std::int32_t keepMetadata = 1;
    std::int32_t phase = 0;  // the high quality's filter: 0 linear, 1 minimum; stored only when 1
    // The high quality's output: the values of SampleType (0 16-bit, 1 24-bit, 2 32-bit float)
    // and Dither (0 TPDF, 1 none, 2 shaped), and whether a file's gain is lowered so that it
    // does not clip (0 no, 1 yes); each stored only when not 0, and read as 0 when not one of
    // these.
    std::int32_t sampleFormat = 0;
    std::int32_t dither = 0;
    std::int32_t preventClipping = 0;
    // Whether the files of a folder added in the window keep their subfolders in the output
    // folder (stored only when 0), and whether a source whose output is there already is
    // skipped (stored only when 1).
    std::int32_t keepSubfolders = 1;
    std::int32_t skipExisting = 0;
    // The outputs' names ("take_{khz}k"; empty or "{name}": the source's name), which the
    // window has no control for: stored only when set.
    CString nameTemplate;
    // The conversion window's inner size (without frame, title and menu bars) in pixels at 100 %
    // scale, as the user last left it; stored only when both are above 0. 0: the window's own
    // size.
    std::int32_t windowWidth = 0;
    std::int32_t windowHeight = 0;
};

// The one settings object; null before its construction and after its destruction.
extern CAppParameter* theSettings;
