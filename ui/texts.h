#pragma once
// The installer's language, its localised texts and the drawing objects that
// every paint shares. The language is chosen once at start-up from the
// user's UI language; the lookups read it at every call.
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

// Fixed table entries: 100 UTF-16 units (200 bytes), zero-terminated inside.
constexpr int kTextEntryUnits = 100;
constexpr int kStepTextCount = 20;
constexpr int kUiTextCount = 11;

// Which of the three text sets a language identifier selects: 1033 English,
// 1028 traditional Chinese, everything else simplified Chinese.
enum TextLanguage : int { kSimplifiedChinese = 0, kTraditionalChinese = 1, kEnglish = 2 };
TextLanguage TextLanguageOf(int32_t languageId);

// One array per language; entry i of a language lies at byte i * 200.
extern const wchar_t StepTexts[3][kStepTextCount][kTextEntryUnits];
extern const wchar_t UiTexts[3][kUiTextCount][kTextEntryUnits];

// Entry `index` of the current language (languageId of the AppContext). The
// index is not checked: callers pass step numbers 0..19 and UI entries 0..10.
const wchar_t* StepText(int index);
const wchar_t* UiText(int index);

// Window literals in the current language.
const wchar_t* PathLabel();
const wchar_t* BrowseLabel();
const wchar_t* CustomLabel();
const wchar_t* BrowseTitle();  // title line of the folder picker
const wchar_t* WarnCaption();
const wchar_t* ReinstallWarning();
// Asked (with WarnCaption) before the user ends a running installation.
const wchar_t* EndInstallQuestion();
// The failure text of a run the proxy refused for want of credentials.
const wchar_t* ProxyAuthenticationFailure();
// Names for screen readers: the window, and the custom toggle without its
// drawn arrow.
const wchar_t* WindowAccessibleName();
const wchar_t* CustomAccessibleName();

// Shared drawing objects, created by InitLanguageAndResources.
extern HBRUSH WhiteBrush;
extern HFONT Font18;
extern HFONT Font20;
extern HFONT Font22;
extern HFONT Font27;

// Start-up: creates the shared brush and fonts, then stores the package
// identifier (string 103), the language and the display name (string 104,
// 105 or 106) in the AppContext. Runs on the UI thread before any window.
void InitLanguageAndResources();

// --- pieces of the above, kept apart so that their inputs can be chosen ---

// Creates the brush and the four fonts; objects of an earlier call are
// deleted first.
void CreateDrawingResources();
// Deletes the brush and the four fonts and clears the handles.
void ReleaseDrawingResources();

// Steps 2 to 5 of the start-up for a given UI language: package identifier,
// languageId (3076, Hong Kong, becomes 1028), languageCode and displayName.
void ApplyLanguage(LANGID uiLanguage);

// A string resource of the program module as code page 936 text that fits
// a 260-byte buffer with its terminator; a longer text is cut before the
// first character that would not fit, never inside a double-byte character.
std::string ResourceTextGbk(unsigned id);
std::string FitGbk(std::wstring_view text, size_t capacity);
