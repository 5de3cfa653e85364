#pragma once
#include "quillmark/base.h"
#include "quillmark/exports.h"
#include "quillmark/host_api.h"
#include "quillmark/malware_heuristic.h"
#include "quillmark/rule_results.h"
