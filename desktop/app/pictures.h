#pragma once
// A skin picture by number, or a stand-in the skin already has while it lacks that one (a
// button without its picture would show no face and no caption).
int PictureOr(int id, int fallback);
