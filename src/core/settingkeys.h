#pragma once

#include <QLatin1String>

// Every key the program keeps in the settings store, each written once here, so a reader and a
// writer of one key cannot drift apart.
namespace SettingKeys {
// Signed in: the main window shows the chat rather than the login gate.
inline constexpr QLatin1String isLoggedIn{"isLoggedIn"};
// The profile the sign-in reply gave.
inline constexpr QLatin1String username{"username"};
inline constexpr QLatin1String userid{"userid"};
inline constexpr QLatin1String avatar{"avatar"};
inline constexpr QLatin1String phone{"phone"};
inline constexpr QLatin1String state{"state"};
inline constexpr QLatin1String chatQuota{"chat_quota"};
inline constexpr QLatin1String translateQuota{"translate_quota"};
inline constexpr QLatin1String expiryDate{"expiry_date"};
// Chat view preferences.
inline constexpr QLatin1String hasSeenWelcome{"hasSeenWelcome"};
inline constexpr QLatin1String selectedModel{"selectedModel"};
// The history as earlier versions kept it, one blob: read once to convert it into rows.
inline constexpr QLatin1String conversations{"conversations"};
} // namespace SettingKeys
