// Layout files: a page layout and its BCH code written as TOML, read into a nand_layout. The
// schema is the interface users and scripts write against; README.md documents it with a
// commented example, and layouts/ holds example files.
#pragma once

#include <cstdint>  // std::uint8_t
#include <string>   // std::string
#include <vector>   // std::vector

#include "layout/layout.h"  // nand_layout, status

// Parses the text of a layout file. `source` names it in messages and lands in layout.source.
// Succeeds and fills `layout` (repeats expanded, check_layout passed), or fails with
// one line, "SOURCE: KEY: what is wrong" (for example
// "board.toml: code.t: must be a whole number of at least 1"), and `layout` is unspecified.
// Unknown keys are refused, so that a misspelt key is never silently ignored.
status parse_layout(const std::string& text, const std::string& source, nand_layout& layout);

// Reads and parses the file at `path` as parse_layout does; a file that cannot be read gets a
// one-line message too.
status read_layout_file(const std::string& path, nand_layout& layout);

// `text` made fit to stand after "# " on one line of a layout file: line breaks and other
// control characters, DEL and bytes that are not UTF-8 become the four characters \xNN, so that
// nothing in it ends the comment early or makes the file unreadable. Other text is unchanged.
std::string layout_comment_text(const std::string& text);

// Reads a scrambler's key file at `path` whole into `key`: a regular file of 1 ...
// kMaxKeyBytes bytes. Returns "" or what is wrong, naming the path.
std::string key_file_fault(const std::string& path, std::vector<std::uint8_t>& key);
