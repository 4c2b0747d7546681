// What every command starts from: the layout chosen by file or by the built-in options, the
// dump opened whole, and words quoted for the shell in the suggestions commands make.
#include "commands/commands.h"

#include "codec/layout_code.h"  // build_layout_code
#include "commands/commands_internal.h"
#include "layout/layout_file.h"  // read_layout_file
#include "platform/platform.h"   // platform_read_at
#include "report/report_text.h"  // counted

status choose_layout(const layout_choice& choice, nand_layout& layout) {
  if (!choice.layout_file.empty())
    return read_layout_file(choice.layout_file, layout);
  if (choice.page_size < 512 && choice.page_size >= 1)
    return status::error("a page of less than 512 bytes holds no sector");
  layout = default_layout(choice.page_size, choice.spare_size, choice.block_pages);
  layout.code.t = choice.t;
  layout.code.lsb_first = choice.lsb_first;
  layout.code.mask = choice.erased_ff ? layout_mask::erased_ff : layout_mask::none;
  return check_layout(layout);
}

status choose_layout_and_code(const layout_choice& choice, nand_layout& layout, bch_code& code) {
  if (status chosen = choose_layout(choice, layout); !chosen.ok())
    return chosen;
  return build_layout_code(layout, code);
}

std::string shell_quoted(const std::string& word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_@%+=:,./-") == std::string::npos;
  if (plain)
    return word;
  std::string q = "'";
  for (char c : word)
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

status open_whole_dump(const std::string& path, std::int64_t page_bytes, file_ptr& file,
                       std::int64_t& bytes) {
  if (status opened = open_dump(path, file, bytes); !opened.ok())
    return opened;
  if (bytes >= page_bytes)
    return status::success();
  return status::error(path + " holds no whole page (" + counted(bytes, "byte", "bytes") +
                       "; a page with its spare is " + counted(page_bytes, "byte", "bytes") + ")");
}

detect_reader reader_of(std::FILE* file) {
  return [file](std::int64_t offset, unsigned char* to, std::size_t count) {
    return platform_read_at(file, offset, to, count);
  };
}
