// The base class of the program's one settings object: where the settings file lives, the
// settings every application on the application base has (language, font, folders, view
// switches, colours), reading them once at start-up and writing them all back on Save, and the
// identity hooks (class names, titles, menus, help address, version) that a derived class
// answers.
#pragma once

#include <cstdint>

#include "base/cstring.h"
#include "settings/xml.h"

// What the platform's resource functions take as a resource name: a small integer id in the
// pointer (as MAKEINTRESOURCE makes it) or a text name.
using ResourceName = const wchar_t*;

inline ResourceName ResourceFromId(int id) {
    return reinterpret_cast<ResourceName>(
        static_cast<std::uintptr_t>(static_cast<std::uint16_t>(id)));
}

// The name of the settings file, looked for in the working folder, then beside the program,
// then in the program's folder among the user's own settings (UserSettingsFile).
constexpr wchar_t kSettingsFileName[] = L"ratemill.ini";
// The program's folder in the platform's folder for user settings.
#ifdef _WIN32
constexpr wchar_t kUserSettingsFolderName[] = L"Ratemill";
#else
constexpr wchar_t kUserSettingsFolderName[] = L"ratemill";
#endif

// Display colours as 0x00BBGGRR.
struct ColorEntry {
    std::uint32_t text = 0;
    std::uint32_t background = 0;
};

class CCommConfig {
  public:
    CCommConfig();
    CCommConfig(const CCommConfig&) = delete;
    CCommConfig& operator=(const CCommConfig&) = delete;
    virtual ~CCommConfig();

    virtual const wchar_t* GetVersionText() const;
    virtual const wchar_t* GetTitle(int language) const;
    virtual ResourceName GetMenuResource(int language) const;
    virtual const wchar_t* GetHelpUrl(int language) const;
    virtual int GetMenuPosition(const wchar_t* name) const;
    virtual ResourceName GetResourceId(int id) const;
    virtual void Initialize();
    // Reads the settings file; true when it was parsed.
    virtual bool Load();
    // Writes every setting to the settings file; true when the whole text reached the disk.
    // The text goes to a temporary file beside it first, which then replaces the old file in
    // one step, so a failed save leaves the previous file as it was. When the file cannot be
    // made where it is looked for, or cannot be replaced (WhyNotReplaceable), the settings go
    // to the user's own settings folder, made when needed, and settingsPath names that file
    // from then on. A file that could be replaced but was not (a full disk) stays as it was,
    // and nothing is written elsewhere: the next start reads the file a save wrote.
    virtual bool Save();
    virtual void Start();
    virtual void ReadSettings(CXml& xml, XmlNode* first);
    virtual void WriteSettings(CXml& xml, XmlNode* container);

    // Records the program's folder (appPath) and the working folder (currentPath), whole.
    void CaptureStartPaths();
    // Chooses settingsPath: the first that exists of the file in the working folder, the one
    // beside the program and the one in the user's settings folder; with none of them the one
    // beside the program. A file in the working folder or beside the program that cannot be
    // replaced is where Save cannot write, so a file in the user's folder, which Save wrote
    // instead, is taken in its place (see unreplaceableAt). Empty when neither the working nor
    // the program's folder is known and there is no file in the user's folder. Only looks:
    // nothing is created.
    void LocateSettingsFile();
    // Why a save could not replace the settings file at path, as an English phrase ("it is
    // read-only"); null when it could. Only looks.
    static const wchar_t* WhyNotReplaceable(const CString& path);
    // The settings file in the user's own settings folder (kUserSettingsFolderName inside the
    // platform's folder for user settings); empty when the platform has none.
    static void UserSettingsFile(CString& path);

    std::int32_t toolbarHideable = 0;
    std::int32_t statusbarHideable = 0;
    // The first top-level element named "config" (first or one of its following siblings).
    static XmlNode* FindConfig(XmlNode* first);

    CString mainWindowClass;
    CString mdiClientWindowClass;
    CString currentPath;
    CString appPath;
    CString settingsPath;
    // Set by LocateSettingsFile when the file it found first, in the working folder (0) or
    // beside the program (1), cannot be replaced, with the reason (WhyNotReplaceable); -1 and
    // null otherwise. passedOver: the user's folder held a file, which was taken instead.
    int unreplaceableAt = -1;
    const wchar_t* whyUnreplaceable = nullptr;
    bool passedOver = false;
    bool loaded = false;               // Start has read the settings file at settingsPath
    std::int32_t currentLanguage = 0;  // 1 Japanese, anything else English; never stored
    std::int32_t savedLanguage = -1;   // 0 English, 1 Japanese, -1 not chosen yet
    CString fontName;
    std::int32_t fontSize = 0;
    CString tempPath;
    std::int32_t logEnabled = 0;
    CString logPath;
    std::int32_t viewToolbar = 1;
    std::int32_t viewStatusbar = 1;
    std::int32_t colorCount = 0;
    ColorEntry* defaultColors = nullptr;
    ColorEntry* colors = nullptr;

  private:
    // Save's writing of the file at settingsPath.
    bool SaveToSettingsPath();
};
