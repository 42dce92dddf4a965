// The Quorvane identification page: whether a response text is one, and the
// equipment description it carries (the text between the first "<body>" and
// the first "</body>", verbatim).
#pragma once

#include <QString>

#include <optional>

namespace IdPage {

inline constexpr const char *kFile = "id.htm";
inline constexpr int kPort = 80;
inline constexpr const char *kTitle = "<title>Quorvane Product ID</title>";

bool isIdentificationPage(const QString &raw);
// The description, or nothing when either tag is missing (the entry then keeps
// what it shows). When the first "</body>" comes before the first "<body>"
// the description is the empty text.
std::optional<QString> description(const QString &raw);

} // namespace IdPage
