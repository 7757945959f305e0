#pragma once
// FreedesktopTrash: moves items into the Trash the way every freedesktop desktop
// reads it: the item into a Trash's files/, a "<name>.trashinfo" with its original
// path and deletion date into info/. Items on the home's file system go to the home
// Trash; others to their volume's own Trash ($topdir/.Trash/$uid when the volume
// offers a shared one, else $topdir/.Trash-$uid). Nothing is ever copied: an item
// that cannot be renamed into a Trash stays where it is.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/support/calendar.h"
#include "core/support/date.h"
#include "core/support/result.h"

namespace kelvane {

class FreedesktopTrash final {
 public:
  // `homeTrash` is $XDG_DATA_HOME/Trash; `uid` names the volume Trash folders;
  // deletion dates are written in `calendar`'s zone, as the readers expect.
  FreedesktopTrash(std::string homeTrash, uint32_t uid, Calendar calendar);

  // Moves entry `name` of the open folder `folder`, whose path is `path`, into a
  // Trash, with the deletion date `now`. Returns the path it now has in the Trash, or
  // why it stayed: "no Trash on its file system", or the system's reason. A link is
  // moved as the link. Safe to call from several threads.
  [[nodiscard]] Result<std::string, std::string> move(int folder, std::string_view name,
                                                      const std::string& path, Date now) const;

  // Returns the info file that describes `trashedPath`, when that path is directly in
  // a Trash's files/ folder ("<trash>/files/x" gives "<trash>/info/x.trashinfo").
  [[nodiscard]] static std::optional<std::string> infoFileOf(std::string_view trashedPath);

  // Returns the deletion date in a .trashinfo text, read in `calendar`'s zone; nullopt
  // when it has no readable "DeletionDate" in its "[Trash Info]" group.
  [[nodiscard]] static std::optional<Date> deletionDate(std::string_view info,
                                                        const Calendar& calendar);

  // Returns when the item at `trashedPath` (directly in a Trash's files/) was deleted,
  // from its description; nullopt when it has none that is a small regular file with
  // a readable date.
  [[nodiscard]] static std::optional<Date> deletedAt(std::string_view trashedPath,
                                                     const Calendar& calendar);

  // Returns `path` percent-encoded as a .trashinfo's Path: every byte but letters,
  // digits, "-", "_", ".", "~" and "/" as %XX.
  static std::string encodedPath(std::string_view path);

  const std::string& homeTrash() const { return homeTrash_; }

 private:
  std::string homeTrash_;
  uint32_t uid_;
  Calendar calendar_;
};

}  // namespace kelvane
