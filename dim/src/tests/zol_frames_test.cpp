// Placeholder replaced below once the frame layout is known.
