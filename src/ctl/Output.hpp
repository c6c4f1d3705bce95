#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// What the subcommands print: aligned tables for people, JSON for scripts.
namespace Ctl {

using Json = nlohmann::ordered_json;
using Row = std::vector<std::string>;

// Columns padded to their widest cell, two blanks apart; the last column is not padded.
std::string formatTable(const Row& headers, const std::vector<Row>& rows);
void printTable(const Row& headers, const std::vector<Row>& rows);
void printJson(const Json& value);
// Fixed notation with `decimals` digits after the point.
std::string fixed(double value, int decimals = 1);

} // namespace Ctl
