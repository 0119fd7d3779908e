void stub_core(){}
