// tvx -r: the files in a folder and in its folders.
#ifndef TARVIX_PROGRAMS_TVX_FOLDERS_H
#define TARVIX_PROGRAMS_TVX_FOLDERS_H

namespace tarvix::tvx {

// Whether `name` leads to a folder.
bool is_folder(const char* name) noexcept;

// What walk_folder() finds.
class FolderVisitor {
 public:
  virtual ~FolderVisitor() = default;
  // A regular file, by its name below the folder walked.
  virtual void file(const char* name) = 0;
  // A folder that could not be read, or a name too long to make.
  virtual void failed(const char* name, int error) = 0;

 protected:
  FolderVisitor() = default;
  FolderVisitor(const FolderVisitor&) = default;
  FolderVisitor& operator=(const FolderVisitor&) = default;
  FolderVisitor(FolderVisitor&&) = default;
  FolderVisitor& operator=(FolderVisitor&&) = default;
};

// walk_folder() shows `visitor` each regular file in the folder `name` and
// in its folders, in the order the system lists them, as "name/sub/file". It
// follows no symbolic link (nor, on Windows, any other reparse point) inside
// the folder, and passes over what is neither a file nor a folder, and what
// is gone by the time it looks. Files that appear while it walks may or may
// not be shown.
void walk_folder(const char* name, FolderVisitor& visitor) noexcept;

}  // namespace tarvix::tvx

#endif  // TARVIX_PROGRAMS_TVX_FOLDERS_H
