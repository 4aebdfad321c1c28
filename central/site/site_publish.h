#pragma once
// `QuarloCentral --data DIR site publish FILE.deb URL`: puts a package on the site. The
// package and its signature FILE.deb.sig (beside it, as `make package` leaves it; required)
// are copied into <site>/download/ and update.ini is rewritten to name them with the
// package's version (its own, through dpkg-deb), MD5 and size, so that the update page
// announces it at URL/quarlo/download/<file name> and its signature at <file name>.sig. Both files are replaced by rename: a
// program reading the page meanwhile sees the old update or the new one, never half of one.
#include <string>

// urlBase: how the programs reach the site, "https://host[:port]" (or http:// for loopback).
bool PublishUpdate(const std::string& siteFolder, const std::string& debPath,
                   const std::string& urlBase, std::string& summary, std::string& error);
