void stub_imaging(){}
