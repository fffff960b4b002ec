#pragma once
// The non-finite values the computation stores, with fixed bit patterns.
