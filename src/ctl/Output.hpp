#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// What the subcommands print: aligned tables for people, JSON for scripts.
namespace Ctl {

using Json = nlohmann::ordered_json;
using Row = std::vector<std::string>;

// `text` with control characters (C0, DEL, C1), invisible formatting characters (bidirectional
// overrides and isolates, zero-width characters, separators), bytes that are not UTF-8 and the
// backslash written as \xHH, so a name can neither drive the terminal nor read as another; other
// UTF-8 passes as it is.
std::string escapeForTerminal(const std::string& text);
// JSON text (valid UTF-8) with DEL, the C1 controls and the invisible formatting characters written
// as \u escapes, which JSON reads as the same characters.
std::string escapeInvisibleInJson(const std::string& text);
// Columns padded to their widest cell, two blanks apart; the last column is not padded.
std::string formatTable(const Row& headers, const std::vector<Row>& rows);
// The table with every cell escaped (escapeForTerminal).
void printTable(const Row& headers, const std::vector<Row>& rows);
void printJson(const Json& value);
// Fixed notation with `decimals` digits after the point.
std::string fixed(double value, int decimals = 1);

} // namespace Ctl
