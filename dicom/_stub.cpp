void stub_dicom(){}
