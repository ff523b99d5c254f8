class P extends AudioWorkletProcessor { process() { return true; } } registerProcessor("morvane-player", P);
