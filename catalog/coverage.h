#pragma once

#include <QString>

#include <optional>

// Which cells a polygon takes, and by how much.
enum class Coverage {
    Centre,  // cells whose centre lies inside, whole
    Exact,   // every cell by the share of its area inside
    Touched, // every cell the polygon touches, whole
};

// "centre", "exact" or "touched"; nothing for another word.
std::optional<Coverage> coverageByName(const QString& name);
