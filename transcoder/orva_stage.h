// orva_stage.h: the continuity stage of a watched channel. It runs the
// source's decoder, the backup's when needed and the one encoder that
// writes every target, and feeds the encoder pictures and sound on its own
// clock whatever the source does.
#pragma once

#include <string>

#include "orva_rewrite.h"
#include "orva_watch.h"

// Runs the watched line until the encoder ends or the service asks for an
// orderly stop; returns the encoder's wait status, or -1 when the pipeline
// could not start (the reason is written as one line first).
int runStage(const FfPlan& plan, const std::string& ffmpeg, const StageSettings& settings);
