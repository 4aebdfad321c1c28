#pragma once
// The one rule for what counts as an e-mail address, for the desktop program's dialogs and
// the operator's site alike: a user part of digits, letters, "-", "_" and "."; one "@"; a
// domain of one label or more, dot-separated, each of digits, letters, "-" and "_", ending in
// a label of two letters or more (x@y.info, a@b.co.uk, a@mail.example.com; not x@y.c,
// x@y.123, x@localhost). Lengths are the caller's to bound.
#include <string_view>

bool IsEmailAddress(std::string_view text);
