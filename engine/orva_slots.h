// orva_slots.h: slot operations the service uses beyond the C interface.
#pragma once

// Exchanges everything two slots hold (process, pipes, state, progress), so
// a running transcoder carries on under the other slot's number and the
// polls read, reap and stop it there. Returns ORVA_OK or ORVA_ERR_SLOT_RANGE.
// Caller holds the service lock.
int orvaSwapSlots(int slotA, int slotB);
