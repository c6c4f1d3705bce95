#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// What the subcommands print: aligned tables for people, JSON for scripts.
namespace Ctl {

using Json = nlohmann::ordered_json;
using Row = std::vector<std::string>;

// `text` with control characters (C0, DEL, C1), bytes that are not UTF-8 and the backslash written
// as \xHH, so a name cannot drive the terminal; other UTF-8 passes as it is.
std::string escapeForTerminal(const std::string& text);
// Columns padded to their widest cell, two blanks apart; the last column is not padded.
std::string formatTable(const Row& headers, const std::vector<Row>& rows);
// The table with every cell escaped (escapeForTerminal).
void printTable(const Row& headers, const std::vector<Row>& rows);
void printJson(const Json& value);
// Fixed notation with `decimals` digits after the point.
std::string fixed(double value, int decimals = 1);

} // namespace Ctl
