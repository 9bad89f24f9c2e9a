#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "settings/app_parameter.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <direct.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string kFile = "ratemill.ini";

std::wstring Wide(const std::string& utf8) {
    std::unique_ptr<wchar_t[]> wide(ToWide(utf8.c_str(), -1, kCodePageUtf8));
    return wide.get();
}

// A file-system path for a UTF-8 test path. With longForm, Windows gets the \\?\ form, so that
// the tests can make, write and read folders beyond the classic length limit.
fs::path FsPath(const std::string& utf8, bool longForm = true) {
#ifdef _WIN32
    return fs::path((longForm ? std::wstring(L"\\\\?\\") : std::wstring()) + Wide(utf8));
#else
    static_cast<void>(longForm);
    return fs::path(utf8);
#endif
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(FsPath(path), std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(FsPath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A settings document: the declaration and one "config" element holding body.
std::string Doc(const std::string& body) {
    return "<?xml version=\"1.0\" ?>\r\n<config>" + body + "</config>\r\n";
}

// Makes folder the process's working folder while it exists.
class WorkingFolder {
  public:
    explicit WorkingFolder(const std::string& folder) : m_previous(fs::current_path()) {
        fs::current_path(FsPath(folder, false));
    }
    ~WorkingFolder() {
        std::error_code error;
        fs::current_path(m_previous, error);
    }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

  private:
    fs::path m_previous;
};

// Writes text as the settings file in folder, points config at it and loads it.
bool LoadFile(CCommConfig& config, const TempFolder& folder, const std::string& text) {
    WriteText(folder.File(kFile), text);
    config.settingsPath = Str(folder.File(kFile));
    return config.Load();
}

// ---- Common configuration ------------------------------------------------------------------

TEST(CommConfigLocate, TheWorkingFolderFileWinsOverTheOneBesideTheProgram) {
    TempFolder working, program;
    DiagnosticRecorder diagnostics;
    CCommConfig config;
    config.currentPath = Str(working.Path());
    config.appPath = Str(program.Path());

    // Without a file in the working folder the program's folder is chosen, existing or not.
    config.LocateSettingsFile();
    EXPECT_EQ(Utf8(config.settingsPath), program.File(kFile));
    EXPECT_EQ(diagnostics.Lines().back(), L"ini_file = " + Wide(program.File(kFile)) + L"\n");

    WriteText(program.File(kFile), Doc("<language>0</language>"));
    WriteText(working.File(kFile), Doc("<language>1</language>"));
    config.LocateSettingsFile();
    EXPECT_EQ(Utf8(config.settingsPath), working.File(kFile));
    EXPECT_TRUE(config.Load());
    EXPECT_EQ(config.savedLanguage, 1);

    // With neither folder known there is no settings file at all.
    config.currentPath.Clear();
    config.appPath.Clear();
    config.LocateSettingsFile();
    EXPECT_TRUE(config.settingsPath.IsEmpty());
    EXPECT_FALSE(config.Load());
    EXPECT_FALSE(config.Save());
}

TEST(CommConfigLoad, UnreadFilesChangeNothingAndBadNumbersGiveTheDefault) {
    TempFolder folder;
    const std::string body = "<language>1</language>";
    const std::pair<std::string, bool> cases[] = {
        {"<config>" + body + "</config>", false},                              // no declaration
        {"\xEF\xBB\xBF" + Doc(body), false},                                   // byte-order mark
        {"", false},                                                           // empty file
        {"<?xml version=\"1.0\" ?><settings>" + body + "</settings>", false},  // no "config"
        {Doc("<language>x</language>"), true},
        {Doc("<language>1x</language>"), true},
        {Doc("<language/>"), true},
        {Doc("<language> </language>"), true},
        {Doc("<Language>1</Language>"), true},
    };
    for (const auto& [text, read] : cases) {
        CCommConfig config;
        config.savedLanguage = 0;
        LoadFile(config, folder, text);
        EXPECT_EQ(config.savedLanguage, read ? -1 : 0) << text;
    }
}

TEST(CommConfigLoad, TheFirstConfigIsReadAndEmptyFoldersMeanTheWorkingFolder) {
    TempFolder folder;
    CCommConfig config;
    config.currentPath = Str(folder.Path());
    config.tempPath = Str("elsewhere");
    EXPECT_TRUE(
        LoadFile(config, folder,
                 " \r\n\t<?xml version=\"1.0\" ?><other><font_size>7</font_size></other>"
                 "<config><language>1</language><language>0</language><Font_Size>9"
                 "</Font_Size><temp_path/><log_enabled>1</log_enabled><log_path> </log_path>"
                 "<view_toolbar>off</view_toolbar><view_statusbar>0</view_statusbar>"
                 "</config><config><font_size>8</font_size></config>"));
    EXPECT_EQ(config.savedLanguage, 1);
    EXPECT_EQ(config.fontSize, 0);
    EXPECT_EQ(Utf8(config.tempPath), folder.Path());
    EXPECT_EQ(config.logEnabled, 1);
    EXPECT_EQ(Utf8(config.logPath), folder.Path());
    EXPECT_EQ(config.viewToolbar, 1);
    EXPECT_EQ(config.viewStatusbar, 0);
}

TEST(CommConfigLoad, ColourEntriesNeedAValidIndexAndFallBackToTheBuiltInColours) {
    TempFolder folder;
    CCommConfig config;
    config.colors[1] = {7, 7};
    EXPECT_TRUE(LoadFile(config, folder,
                         Doc("<colors><color><index>5</index><text>255</text></color>"
                             "<color><index>2</index><text>255</text></color>"
                             "<color><index>-1</index><text>255</text></color>"
                             "<color><text>255</text><background>255</background></color>"
                             "<color><index>1</index><text>255</text></color>"
                             "<color><index>0</index><text>1</text><background>2</background>"
                             "</color><color><index>0</index><text>3</text></color></colors>")));
    // A later entry for the same index replaces the earlier one as a whole.
    EXPECT_EQ(config.colors[0].text, 3u);
    EXPECT_EQ(config.colors[0].background, 0xFFFFFFu);
    EXPECT_EQ(config.colors[1].text, 255u);
    EXPECT_EQ(config.colors[1].background, 0xFFFFFFu);
}

// Reading takes time in proportion to the file's size: a file at the size limit with 100000
// attributes on one element and 100000 children loads, and one byte more is not read at all.
TEST(CommConfigLoad, AFileAtTheSizeLimitLoadsWholeAndALargerOneIsNotRead) {
    TempFolder folder;
    std::string doc = "<?xml version=\"1.0\" ?>\r\n<config";
    for (int i = 0; i < 100000; ++i) doc += " a='1'";
    doc += ">";
    for (int i = 0; i < 100000; ++i) doc += "<c/>";
    doc += "<language>1</language></config>\r\n";
    ASSERT_LE(doc.size(), std::size_t{1} << 20);
    doc.resize(std::size_t{1} << 20, ' ');
    CCommConfig config;
    EXPECT_TRUE(LoadFile(config, folder, doc));
    EXPECT_EQ(config.savedLanguage, 1);
    config.savedLanguage = 0;
    EXPECT_FALSE(LoadFile(config, folder, doc + " "));
    EXPECT_EQ(config.savedLanguage, 0);
}

TEST(CommConfigSave, AFailedReplacementLeavesNoTemporaryFileBehind) {
    TempFolder folder;
    fs::create_directory(FsPath(folder.File("taken")));
    CCommConfig config;
    // A folder where the settings file should be cannot be replaced by the new text.
    config.settingsPath = Str(folder.File("taken"));
    EXPECT_FALSE(config.Save());
    config.settingsPath = Str(folder.File("missing") + Sep() + kFile);
    EXPECT_FALSE(config.Save());
    EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"taken"});
}

// When the settings cannot be saved where they are looked for (the program's folder is
// read-only or gone), they go to the user's own settings folder, made with its parent, and the
// next start finds them there; a file in the working folder still comes first.
TEST(CommConfigSave, AnUnwritableProgramFolderSendsTheSettingsToTheUsersFolder) {
    TempFolder working, user;
    const std::string config = user.File("config");
    UserConfigFolder userConfig(config);
    const std::string userFile = config + Sep() + Utf8(kUserSettingsFolderName) + Sep() + kFile;
    // Nothing can be made below a regular file, whoever runs the test.
    WriteText(working.File("program"), "");
    auto located = [&]() {
        auto settings = std::make_unique<CCommConfig>();
        settings->currentPath = Str(working.Path());
        settings->appPath = Str(working.File("program") + Sep() + "folder");
        settings->LocateSettingsFile();
        return settings;
    };

    auto first = located();
    EXPECT_EQ(Utf8(first->settingsPath), Utf8(first->appPath) + Sep() + kFile);
    EXPECT_TRUE(FolderEntries(user.Path()).empty());  // looking creates nothing
    first->savedLanguage = 1;
    EXPECT_TRUE(first->Save());
    EXPECT_EQ(Utf8(first->settingsPath), userFile);
    first->savedLanguage = 0;
    EXPECT_TRUE(first->Save());

    auto next = located();
    EXPECT_EQ(Utf8(next->settingsPath), userFile);
    EXPECT_TRUE(next->Load());
    EXPECT_EQ(next->savedLanguage, 0);

    WriteText(working.File(kFile), Doc("<language>1</language>"));
    EXPECT_EQ(Utf8(located()->settingsPath), working.File(kFile));
}

// A file found in the working folder or beside the program that a save cannot replace (every
// temporary name beside it taken, which stops root too; a read-only file on Windows; a
// read-only folder for other users than root) is read until a save has gone to the user's
// folder instead. From then on every start reads that copy, and the file is left as it was.
TEST(CommConfigSave, AFileThatCannotBeReplacedGivesWayToTheCopySavedInTheUsersFolder) {
    enum class Block { TemporaryNames, ReadOnlyFile, ReadOnlyFolder };
    std::vector<Block> blocks{Block::TemporaryNames};
#ifdef _WIN32
    blocks.push_back(Block::ReadOnlyFile);
#else
    if (geteuid() != 0) blocks.push_back(Block::ReadOnlyFolder);
#endif
    const fs::perms writable = fs::perms::owner_write | fs::perms::group_write;
    for (Block block : blocks) {
        for (int place : {0, 1}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(block)) + " " + std::to_string(place));
            TempFolder working, program, user;
            UserConfigFolder userConfig(user.Path());
            const std::string userFile =
                user.Path() + Sep() + Utf8(kUserSettingsFolderName) + Sep() + kFile;
            const std::string folder = place == 0 ? working.Path() : program.Path();
            const std::string found = folder + Sep() + kFile;
            const std::string original = Doc("<language>1</language>");
            WriteText(found, original);
            for (int i = 0; i < 100 && block == Block::TemporaryNames; ++i) {
                WriteText(found + ".tmp" + (i > 0 ? std::to_string(i) : ""), "");
            }
            if (block == Block::ReadOnlyFile) {
                fs::permissions(FsPath(found), writable, fs::perm_options::remove);
            }
            const std::vector<std::string> entries = FolderEntries(folder);
#ifndef _WIN32
            if (block == Block::ReadOnlyFolder) chmod(folder.c_str(), 0555);
#endif
            auto start = [&]() {
                auto settings = std::make_unique<CCommConfig>();
                settings->currentPath = Str(working.Path());
                settings->appPath = Str(program.Path());
                settings->LocateSettingsFile();
                settings->Load();
                return settings;
            };

            auto first = start();
            EXPECT_EQ(Utf8(first->settingsPath), found);
            EXPECT_EQ(first->unreplaceableAt, place);
            EXPECT_FALSE(first->passedOver);
            EXPECT_EQ(first->savedLanguage, 1);
            EXPECT_TRUE(FolderEntries(user.Path()).empty());
            first->savedLanguage = 0;
            EXPECT_TRUE(first->Save());
            EXPECT_EQ(Utf8(first->settingsPath), userFile);

            auto next = start();
            EXPECT_EQ(Utf8(next->settingsPath), userFile);
            EXPECT_TRUE(next->passedOver);
            EXPECT_EQ(next->savedLanguage, 0);
            next->fontSize = 9;
            EXPECT_TRUE(next->Save());
            EXPECT_EQ(start()->fontSize, 9);

#ifndef _WIN32
            chmod(folder.c_str(), 0755);
#endif
            EXPECT_EQ(ReadText(found), original);
            EXPECT_EQ(FolderEntries(folder), entries);
            fs::permissions(FsPath(found), writable, fs::perm_options::add);
        }
    }
}

#ifndef _WIN32
// A link planted under the temporary name is neither followed nor replaced: the save takes the
// next free name, and the link and the file it points at stay as they were.
TEST(CommConfigSave, ALinkUnderTheTemporaryNameIsLeftAlone) {
    TempFolder folder;
    WriteText(folder.File("victim"), "keep");
    fs::create_symlink(folder.File("victim"), folder.File(kFile + ".tmp"));
    CCommConfig config;
    config.settingsPath = Str(folder.File(kFile));
    ASSERT_TRUE(config.Save());
    EXPECT_EQ(ReadText(folder.File("victim")), "keep");
    EXPECT_TRUE(fs::is_symlink(folder.File(kFile + ".tmp")));
    EXPECT_EQ(FolderEntries(folder.Path()),
              (std::vector<std::string>{kFile, kFile + ".tmp", "victim"}));
}

TEST(CommConfigSave, AFullDiskKeepsThePreviousFileByteForByte) {
    TempFolder folder, user;
    // The file is read again at the next start, so the settings go nowhere else either.
    UserConfigFolder userConfig(user.Path());
    const std::string previous = Doc("<language>1</language><font_name>Mincho</font_name>");
    WriteText(folder.File(kFile), previous);
    CCommConfig config;
    config.settingsPath = Str(folder.File(kFile));

    // Files may grow to 64 bytes only, as on a full disk; the signal is ignored so that the
    // write fails instead of ending the process.
    rlimit previousLimit{};
    getrlimit(RLIMIT_FSIZE, &previousLimit);
    rlimit limit = previousLimit;
    limit.rlim_cur = 64;
    void (*previousHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    const bool saved = config.Save();
    setrlimit(RLIMIT_FSIZE, &previousLimit);
    signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(ReadText(folder.File(kFile)), previous);
    EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{kFile});
    EXPECT_TRUE(FolderEntries(user.Path()).empty());

    // A folder that became read-only (root writes anyway, so only other users see it): the
    // settings go to the user's folder instead.
    if (geteuid() != 0) {
        chmod(folder.Path().c_str(), 0555);
        EXPECT_TRUE(config.Save());
        EXPECT_EQ(FolderEntries(user.Path()), std::vector<std::string>{"ratemill"});
        chmod(folder.Path().c_str(), 0755);
        EXPECT_EQ(ReadText(folder.File(kFile)), previous);
        EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{kFile});
    }
}
#endif

// ---- Application parameters ----------------------------------------------------------------

TEST(AppParameter, AnswersTheProgramsIdentityInBothLanguages) {
    TempFolder folder;
    WorkingFolder inFolder(folder.Path());
    EXPECT_EQ(theSettings, nullptr);
    {
        CAppParameter settings;
        EXPECT_EQ(theSettings, &settings);
        // No file in the working folder: the one beside the program is chosen.
        EXPECT_EQ(Utf8(settings.currentPath), folder.Path());
        EXPECT_EQ(Utf8(settings.settingsPath), Utf8(settings.appPath) + Sep() + kFile);

        EXPECT_STREQ(settings.GetVersionText(), L"1.0.3.0");
        EXPECT_STREQ(settings.mainWindowClass.WideText(), L"RATEMILL MAIN WINDOW");
        EXPECT_STREQ(settings.mdiClientWindowClass.WideText(), L"RATEMILL MDI CLIENT WINDOW");
        EXPECT_STREQ(settings.GetTitle(1), L"Ratemill - サンプリング周波数変換ツール");
        EXPECT_STREQ(settings.GetHelpUrl(1), L"https://ratemill.example.com/soft/ratemill/help");
        EXPECT_EQ(settings.GetMenuResource(1), ResourceFromId(10013));
        for (int language : {0, -1, 2}) {
            EXPECT_STREQ(settings.GetTitle(language), L"Ratemill - Resampling Audio Frequency");
            EXPECT_STREQ(settings.GetHelpUrl(language),
                         L"https://ratemill.example.com/en/ratemill/help");
            EXPECT_EQ(settings.GetMenuResource(language), ResourceFromId(10014));
        }
        for (int id : {10011, 10015, 10016}) {
            EXPECT_EQ(settings.GetResourceId(id), ResourceFromId(id));
        }
        for (int id : {10010, 10017}) EXPECT_EQ(settings.GetResourceId(id), nullptr);
        EXPECT_EQ(settings.GetMenuPosition(L"Help"), 1);
        for (const wchar_t* menu : {L"File", L"help", L"Window"}) {
            EXPECT_EQ(settings.GetMenuPosition(menu), 0);
        }
    }
    EXPECT_EQ(theSettings, nullptr);
}

TEST(AppParameterSave, BuiltInValuesWriteTheTwentyTwoLineFile) {
    TempFolder folder;
    WriteText(folder.File(kFile), "");  // an empty file loads nothing but fixes the location
    WorkingFolder inFolder(folder.Path());
    CAppParameter settings;
    ASSERT_TRUE(settings.Save());
    std::string expected = R"(<?xml version="1.0" ?>
<config><language>-1</language>
<font_name/>
<font_size>0</font_size>
<temp_path>@</temp_path>
<log_enabled>0</log_enabled>
<log_path>@</log_path>
<view_toolbar>1</view_toolbar>
<view_statusbar>1</view_statusbar>
<colors><color><index>0</index>
<text>0</text>
<background>16777215</background>
</color>
<color><index>1</index>
<text>13158600</text>
<background>16777215</background>
</color>
</colors>
<output_path/>
<frequency>44100</frequency>
<channels>2</channels>
</config>
)";
    for (std::size_t at; (at = expected.find('@')) != std::string::npos;) {
        expected.replace(at, 1, folder.Path());
    }
    for (std::size_t at = 0; (at = expected.find('\n', at)) != std::string::npos; at += 2) {
        expected.insert(at, 1, '\r');
    }
    EXPECT_EQ(ReadText(folder.File(kFile)), expected);
}

// Every stored setting as text.
std::string StoredFields(CAppParameter& s) {
    std::string text;
    for (int value :
         {s.savedLanguage, s.fontSize, s.logEnabled, s.viewToolbar, s.viewStatusbar, s.frequency,
          s.channels, s.quality, s.keepMetadata, s.phase, s.sampleFormat, s.dither,
          s.preventClipping, s.keepSubfolders, s.skipExisting, s.windowWidth, s.windowHeight}) {
        text += std::to_string(value) + ",";
    }
    for (int i = 0; i < s.colorCount; ++i) {
        text +=
            std::to_string(s.colors[i].text) + "/" + std::to_string(s.colors[i].background) + ",";
    }
    return text + Utf8(s.fontName) + "|" + Utf8(s.tempPath) + "|" + Utf8(s.logPath) + "|" +
           Utf8(s.outputPath) + "|" + Utf8(s.nameTemplate);
}

TEST(AppParameterSave, ASaveAndALoadReproduceEveryStoredField) {
    TempFolder folder;
    WriteText(folder.File(kFile), "");
    WorkingFolder inFolder(folder.Path());
    std::string stored;
    {
        CAppParameter settings;
        settings.currentLanguage = 1;
        settings.savedLanguage = 1;
        // Texts are kept character for character: blanks in runs, at either end or alone,
        // tabs, line breaks, entity characters, characters beyond the BMP.
        settings.fontName = Str(" ");
        settings.fontSize = -12;
        settings.tempPath = Str(" " + folder.File("Music  Archive\t\r\n"));
        settings.logEnabled = 1;
        settings.logPath = Str(folder.File("log \"1\"") + "  ");
        settings.viewToolbar = 0;
        settings.viewStatusbar = 0;
        settings.colors[0] = {0x123456, 0x80000001};
        settings.colors[1] = {0xFFFFFFFF, 0};
        settings.outputPath = Str(folder.File("出力 & <wav>\n\U0001F3B5 &#65;"));
        settings.frequency = 8000;
        settings.channels = 1;
        settings.quality = 1;
        settings.keepMetadata = 0;
        settings.phase = 1;
        settings.sampleFormat = 2;
        settings.dither = 2;
        settings.preventClipping = 1;
        settings.skipExisting = 1;
        settings.keepSubfolders = 0;
        settings.nameTemplate = Str(" {name}_{khz}k & <{bits}> ");
        settings.windowWidth = 700;
        settings.windowHeight = 500;
        ASSERT_TRUE(settings.Save());
        stored = StoredFields(settings);
    }
    EXPECT_NE(ReadText(folder.File(kFile))
                  .find("<channels>1</channels>\r\n<quality>1</quality>\r\n<keep_metadata>0</"
                        "keep_metadata>\r\n<phase>1</phase>\r\n<sample_format>2</"
                        "sample_format>\r\n<dither>2</dither>\r\n<prevent_clipping>1</"
                        "prevent_clipping>\r\n<skip_existing>1</skip_existing>\r\n<keep_"
                        "subfolders>0</keep_subfolders>\r\n<name_template>&#32;{name}_{khz}k &amp; "
                        "&lt;{bits}&gt;&#32;</name_template>\r\n<window_width>700</"
                        "window_width>\r\n<window_"
                        "height>500</window_height>"),
              std::string::npos);
    CAppParameter settings;
    EXPECT_EQ(StoredFields(settings), stored);
    EXPECT_EQ(settings.currentLanguage, 0);
}

TEST(AppParameterLoad, ConversionValuesAreKeptWithoutARangeCheck) {
    TempFolder folder;
    WorkingFolder inFolder(folder.Path());
    CAppParameter settings;
    EXPECT_TRUE(LoadFile(settings, folder,
                         Doc("<output_path/><frequency>96000</frequency><channels>1</channels>")));
    EXPECT_TRUE(settings.outputPath.IsEmpty());
    EXPECT_EQ(settings.frequency, 96000);
    EXPECT_EQ(settings.channels, 1);
    EXPECT_TRUE(
        LoadFile(settings, folder, Doc("<frequency>-8000</frequency><channels>two</channels>")));
    EXPECT_EQ(settings.frequency, -8000);
    EXPECT_EQ(settings.channels, 2);
    // Choices other than the ones there are read as the default.
    EXPECT_TRUE(LoadFile(settings, folder,
                         Doc("<sample_format>3</sample_format><dither>-1</dither>"
                             "<prevent_clipping>2</prevent_clipping><skip_existing>2</"
                             "skip_existing><keep_subfolders>2</keep_subfolders>")));
    EXPECT_EQ(
        settings.sampleFormat + settings.dither + settings.preventClipping + settings.skipExisting,
        0);
    EXPECT_EQ(settings.keepSubfolders, 1);

    // A file written before the conversion settings existed gets them after "colors".
    settings.outputPath = Str(folder.Path());
    EXPECT_TRUE(
        LoadFile(settings, folder, Doc("<colors><color><index>0</index></color></colors>")));
    EXPECT_TRUE(settings.outputPath.IsEmpty());
    EXPECT_EQ(settings.frequency, 44100);
    EXPECT_EQ(settings.channels, 2);
    ASSERT_TRUE(settings.Save());
    const std::string saved = ReadText(folder.File(kFile));
    const std::string tail =
        "</colors>\r\n<output_path/>\r\n<frequency>44100</frequency>\r\n"
        "<channels>2</channels>\r\n</config>\r\n";
    ASSERT_GE(saved.size(), tail.size());
    EXPECT_EQ(saved.substr(saved.size() - tail.size()), tail);
}

TEST(AppParameterLoad, AShiftJisFileGivesTheSameFolderAsItsUtf8Twin) {
    TempFolder folder;
    WorkingFolder inFolder(folder.Path());
    CAppParameter settings;
    // 音声ソフト: the trail byte of ソ (83 5C) is a backslash in ASCII.
    const std::string folderName = folder.File("音声ソフト");
    EXPECT_TRUE(LoadFile(settings, folder, Doc("<output_path>" + folderName + "</output_path>")));
    EXPECT_EQ(Utf8(settings.outputPath), folderName);
    settings.outputPath.Clear();
    EXPECT_TRUE(
        LoadFile(settings, folder,
                 "<?xml version=\"1.0\" encoding=\"Shift_JIS\" ?>\r\n<config><output_path>" +
                     folder.File("\x89\xB9\x90\xBA\x83\x5C\x83\x74\x83\x67") +
                     "</output_path></config>\r\n"));
    EXPECT_EQ(Utf8(settings.outputPath), folderName);
}

TEST(AppParameter, AWorkingFolderLongerThan259CharactersIsUsedWhole) {
    TempFolder root;
    std::vector<std::string> levels{root.Path()};
    while (levels.back().size() <= 300) {
        levels.push_back(levels.back() + Sep() +
                         std::string(60, static_cast<char>('a' + levels.size())));
        fs::create_directory(FsPath(levels.back()));
    }
    const std::string& deep = levels.back();
    const std::string file = deep + Sep() + kFile;
    WriteText(file, Doc("<frequency>48000</frequency>"));
    {
        WorkingFolder inFolder(deep);
        CAppParameter settings;
        EXPECT_EQ(Utf8(settings.currentPath), deep);
        EXPECT_EQ(Utf8(settings.settingsPath), file);
        EXPECT_EQ(settings.frequency, 48000);
        settings.channels = 1;
        EXPECT_TRUE(settings.Save());
    }
    EXPECT_NE(ReadText(file).find("<channels>1</channels>"), std::string::npos);
    EXPECT_FALSE(platform::PathExists(Wide(file + ".tmp").c_str()));

    // The standard library cannot remove paths this long on Windows.
    EXPECT_TRUE(platform::DeleteFilePath(Wide(file).c_str()));
    for (std::size_t i = levels.size() - 1; i > 0; --i) {
#ifdef _WIN32
        _wrmdir(FsPath(levels[i]).c_str());
#else
        rmdir(levels[i].c_str());
#endif
    }
    EXPECT_TRUE(FolderEntries(root.Path()).empty());
}

}  // namespace
