#pragma once

#include <QDateTime>
#include <QString>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelvan {

// The product web site. ZELVAN_UPDATE_URL, when set, takes its place (tests point it at a
// server of their own on 127.0.0.1).
inline constexpr std::string_view kProductSite = "http://www.zelvan.org";
// Where the support mail goes.
inline constexpr std::string_view kSupportMail = "support@zelvan.org";

// How long a check may wait for the server before it counts as failed.
inline constexpr std::chrono::milliseconds kUpdateFetchTimeout{10000};

// The site's base URL without a trailing "/".
QString ProductSiteUrl();
// The file whose whole body is the newest version: base URL + "/update/Update_new.ini".
QString UpdateDescriptionUrl();
// The download page for a language: "Russian" and "English" have one; any other language
// gives an empty text (no page is opened).
QString DownloadPageUrl(std::string_view language);

// The User-Agent of every request: "Zelvan Updater v" + the version string.
QString UpdateAgentName();

// Fetches a URL's body over HTTP without any cached copy. Waits in a local event loop that keeps
// the windows painting but holds back user input, for at most `timeout`. Throws Error on no
// connection, a time-out, an HTTP error status (a server's HTML error page is not a version) or
// a body larger than any description file (64 KiB). Needs a Qt application object.
std::string FetchText(const QString& url, const QString& agentName,
                      std::chrono::milliseconds timeout = kUpdateFetchTimeout);

// Reads a description file's body as a version number, strictly: digits and dots only, so a
// trailing line break or an empty body fails (throws Error, as VersionNumber does).
std::int32_t RemoteVersionNumber(std::string_view body);

// The reminder is due when more than 14 whole days (the absolute difference, truncated) lie
// between `now` and the last check. A date that is not valid counts as now: not due.
bool UpdateReminderDue(const QDateTime& now, const QDateTime& lastUpdateDate);

}  // namespace zelvan
