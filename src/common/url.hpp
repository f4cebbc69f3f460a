// URLs and collector addresses: split into their parts, put back together, and the normal
// form in which the library requests them. Scheme comparisons ignore ASCII letter case.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/ascii.hpp"

namespace zeplog::detail {

// The parts of [scheme "://"] [userInfo] host [":" port] [path] [query] [fragment].
// Each part is a view into the text parsed (which must outlive it); an absent part is empty.
// Parsing never fails: text that is no URL still splits into some parts, and the caller's
// rule decides (an empty host, say).
struct UrlParts {
  std::string_view scheme;    // as written, without "://"
  bool hasScheme = false;     // the text had a "://"
  std::string_view userInfo;  // up to its last "@" (kept)
  std::string_view host;      // an IPv6 literal without its brackets
  // The host is an IPv6 literal: written in brackets, or bare with two or more ":".
  bool ipv6 = false;
  std::string_view port;      // as written after the host's ":", not checked; may be empty
  bool hasPort = false;       // a ":" followed the host, even with nothing after it
  std::string_view path;      // from its "/" up to a query or fragment
  std::string_view query;     // from its "?" (kept) up to a fragment
  std::string_view fragment;  // from its "#" (kept) to the end
};

// The text after the first "://", or the whole text when it has none. The library stores a
// collector address this way: the URL the application gave without its scheme.
std::string_view withoutScheme(std::string_view url);

// Splits a URL. The scheme is the text before the first "://"; without one the whole text
// is parsed as an address (see parseAddress).
UrlParts parseUrl(std::string_view url);

// Splits an address: a URL without its scheme, its authority first. The authority ends at
// the first "/", "?" or "#"; user information ends at its last "@"; a host in brackets is an
// IPv6 literal (a missing "]" closes it at the authority's end) and only a ":" right after
// its "]" starts a port; a bare host with two or more ":" is an IPv6 literal without a port.
UrlParts parseAddress(std::string_view address);

// Writes parts back as a URL: scheme "://" (when parts.hasScheme), user information, the host (an
// IPv6 literal in brackets), ":" and the port when parts.hasPort, then path, query and fragment as
// they are.
std::string buildUrl(const UrlParts& parts);

// True for a port written as one or more decimal digits.
bool isPortNumber(std::string_view port);

// The port a URL's text implies by how it starts, as the collector address rules read it:
// 443 for text that starts with "https", 80 for "http" (any letter case), else -1. Only the
// start is read: "httpx://h" is 80, as it always was for the library's callers.
int defaultPortByPrefix(std::string_view url);

// True for a URL whose scheme is http or https (any letter case).
bool isHttpUrl(std::string_view url);

// True for an http or https URL (any letter case) that names a host.
bool isHttpUrlWithHost(std::string_view url);

// The normal form of an http or https URL as the library requests it: the scheme in lower
// case, and the scheme's port (80 or 443) after a host that names none; user information,
// path, query and fragment are kept as written. An authority that already has a ":" after its
// host, or whose host is an IPv6 literal, gets none. Nothing (nullopt) for another scheme
// or a URL without a host.
std::optional<std::string> normaliseHttpUrl(std::string_view url);

}  // namespace zeplog::detail
