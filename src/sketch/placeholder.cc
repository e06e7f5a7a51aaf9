// Placeholder until the subsystem's sources arrive.
