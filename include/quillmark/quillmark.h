#pragma once
#include "quillmark/base.h"
#include "quillmark/exports.h"
#include "quillmark/malware_heuristic.h"
