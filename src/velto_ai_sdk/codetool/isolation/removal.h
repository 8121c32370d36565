// Removing a run's private directory with whatever the script left in it,
// however it left it: entries without permissions, deep trees, links
// (never followed).
#pragma once

namespace velto::isolation {

// Removes `path` and everything beneath it. Returns whether it is gone.
bool remove_tree(const char* path);

}  // namespace velto::isolation
