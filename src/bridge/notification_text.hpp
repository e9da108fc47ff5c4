#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace td::bridge {

// What a phone shows of a notification: short lines, never a document.
inline constexpr std::size_t MAX_APP_CHARACTERS = 64;
inline constexpr std::size_t MAX_SUMMARY_CHARACTERS = 200;
inline constexpr std::size_t MAX_BODY_CHARACTERS = 1000;

// What may be read of a notification's markup for each character shown: a link's address, a
// tag's attributes. Past it the text is cut before it is read.
inline constexpr std::size_t MARKUP_BYTES_PER_CHARACTER = 16;

// At most `maxBytes` of `text`, cut where a character begins.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

// A body may hold the notification markup; a summary or an app's name is plain text, in which
// "<b>" is shown as written.
enum class Markup { read, none };

// A notification's text as plain text: the markup's tags dropped and its entities read (where it
// has markup), controls, separators and direction marks as spaces (so that no text reorders
// what the page shows around it), at most `maxCharacters` characters (the last of them "…" when
// cut). Valid UTF-8 in, valid UTF-8 out.
std::string plainText(std::string_view text, std::size_t maxCharacters,
                      Markup markup = Markup::read);

}  // namespace td::bridge
