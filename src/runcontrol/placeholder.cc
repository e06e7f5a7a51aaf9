// Replaced by the command-line and driver sources.
