// Placeholder: replaced by the WAV writer.
