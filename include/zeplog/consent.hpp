// Upload consent: whether the library may send anything off the machine (docs/api.md).
#pragma once

namespace zeplog {

// Unknown: nothing is sent; events and crash reports are kept on disk within their usual
// bounds. Given: what was kept is sent, then everything is. Revoked: what was kept is
// deleted, and nothing is sent or kept from then on.
enum class Consent { Unknown, Given, Revoked };

}  // namespace zeplog
