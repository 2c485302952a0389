#pragma once

#include "engine/LeftoverJournal.h"

#include <QString>

#include <optional>

// How the journal's records are written down; shared by the writer and the sweep.
namespace cleftone {

/// The name a kind of leftover has in a record.
const char* leftoverKindName(LeftoverKind kind);
std::optional<LeftoverKind> leftoverKindFromName(const QString& name);

} // namespace cleftone
