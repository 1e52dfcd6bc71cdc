// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The protocol's vocabulary belongs to the link; this header keeps the path
// under which applications have always included it.
#include "link/nivoravexbususbutils.h"
