<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="en_US">
<context>
    <name>Lumaframe</name>
    <message>
        <source>All files</source>
        <translation>All files</translation>
    </message>
    <message>
        <source>Load Dicom Picture</source>
        <translation>Load Dicom Picture</translation>
    </message>
    <message>
        <source>Failure</source>
        <translation>Failure</translation>
    </message>
    <message>
        <source>Please check whether the image is damaged.</source>
        <translation>Please check whether the image is damaged.</translation>
    </message>
    <message>
        <source>Save Image</source>
        <translation>Save Image</translation>
    </message>
    <message>
        <source>Success</source>
        <translation>Success</translation>
    </message>
    <message>
        <source>Image has been saved.</source>
        <translation>Image has been saved.</translation>
    </message>
    <message>
        <source>Failed to save image.</source>
        <translation>Failed to save image.</translation>
    </message>
    <message>
        <source>Select a picture where the folder</source>
        <translation>Select a picture where the folder</translation>
    </message>
    <message>
        <source>Select a folder to save processing results.</source>
        <translation>Select a folder to save processing results.</translation>
    </message>
    <message>
        <source>Selected directory errors.</source>
        <translation>Selected directory errors.</translation>
    </message>
    <message>
        <source>This file's pixel data is compressed as %1, which cannot be read yet.</source>
        <translation>This file's pixel data is compressed as %1, which cannot be read yet.</translation>
    </message>
    <message>
        <source>This file's data is encoded as %1, which cannot be read yet.</source>
        <translation>This file's data is encoded as %1, which cannot be read yet.</translation>
    </message>
    <message>
        <source>This file holds no picture (%1).</source>
        <translation>This file holds no picture (%1).</translation>
    </message>
    <message>
        <source>This file holds no picture.</source>
        <translation>This file holds no picture.</translation>
    </message>
    <message>
        <source>This file's picture is stored in a way that cannot be shown yet (%1).</source>
        <translation>This file's picture is stored in a way that cannot be shown yet (%1).</translation>
    </message>
    <message>
        <source>The grey levels asked for cannot be applied to this file (%1).</source>
        <translation>The grey levels asked for cannot be applied to this file (%1).</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Converted %1 of %2 files.</source>
        <translation>Converted %1 of %2 files.</translation>
    </message>
    <message>
        <source>%1 files could not be converted.</source>
        <translation>%1 files could not be converted.</translation>
    </message>
    <message>
        <source>Hide names and IDs</source>
        <translation>Hide names and IDs</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>Open a DICOM file to see its details here.</source>
        <translation>Open a DICOM file to see its details here.</translation>
    </message>
    <message>
        <source>hidden</source>
        <translation>hidden</translation>
    </message>
    <message>
        <source>File</source>
        <translation>File</translation>
    </message>
    <message>
        <source>Patient name</source>
        <translation>Patient name</translation>
    </message>
    <message>
        <source>Patient ID</source>
        <translation>Patient ID</translation>
    </message>
    <message>
        <source>Study date</source>
        <translation>Study date</translation>
    </message>
    <message>
        <source>Study description</source>
        <translation>Study description</translation>
    </message>
    <message>
        <source>Series number</source>
        <translation>Series number</translation>
    </message>
    <message>
        <source>Series description</source>
        <translation>Series description</translation>
    </message>
    <message>
        <source>Modality</source>
        <translation>Modality</translation>
    </message>
    <message>
        <source>Body part</source>
        <translation>Body part</translation>
    </message>
    <message>
        <source>Picture</source>
        <translation>Picture</translation>
    </message>
    <message>
        <source>This file cannot be opened: no such file.</source>
        <translation>This file cannot be opened: no such file.</translation>
    </message>
    <message>
        <source>This is not a DICOM file.</source>
        <translation>This is not a DICOM file.</translation>
    </message>
    <message>
        <source>This is a %1 picture, not a DICOM file.</source>
        <translation>This is a %1 picture, not a DICOM file.</translation>
    </message>
    <message>
        <source>This file cannot be opened (%1).</source>
        <translation>This file cannot be opened (%1).</translation>
    </message>
    <message>
        <source>File name</source>
        <translation>File name</translation>
    </message>
    <message>
        <source>Grey levels</source>
        <translation>Grey levels</translation>
    </message>
    <message>
        <source>Reset</source>
        <translation>Reset</translation>
    </message>
    <message>
        <source>Frames</source>
        <translation>Frames</translation>
    </message>
    <message>
        <source>Window %1</source>
        <translation>Window %1</translation>
    </message>
    <message>
        <source>Standard</source>
        <translation>Standard</translation>
    </message>
    <message>
        <source>Min-max</source>
        <translation>Min-max</translation>
    </message>
    <message>
        <source>Full range</source>
        <translation>Full range</translation>
    </message>
    <message>
        <source>Custom (%1/%2)</source>
        <translation>Custom (%1/%2)</translation>
    </message>
    <message>
        <source>Frame %1 of %2</source>
        <translation>Frame %1 of %2</translation>
    </message>
    <message>
        <source>C %1  W %2</source>
        <translation>C %1  W %2</translation>
    </message>
    <message>
        <source>Brain</source>
        <translation>Brain</translation>
    </message>
    <message>
        <source>Subdural</source>
        <translation>Subdural</translation>
    </message>
    <message>
        <source>Stroke</source>
        <translation>Stroke</translation>
    </message>
    <message>
        <source>Lung</source>
        <translation>Lung</translation>
    </message>
    <message>
        <source>Mediastinum</source>
        <translation>Mediastinum</translation>
    </message>
    <message>
        <source>Abdomen</source>
        <translation>Abdomen</translation>
    </message>
    <message>
        <source>Liver</source>
        <translation>Liver</translation>
    </message>
    <message>
        <source>Bone</source>
        <translation>Bone</translation>
    </message>
    <message>
        <source>Save options</source>
        <translation>Save options</translation>
    </message>
    <message>
        <source>Quality</source>
        <translation>Quality</translation>
    </message>
    <message>
        <source>JPEG and JPEG 2000</source>
        <translation>JPEG and JPEG 2000</translation>
    </message>
    <message>
        <source>16-bit grey levels</source>
        <translation>16-bit grey levels</translation>
    </message>
    <message>
        <source>File: the standard rendering</source>
        <translation>File: the standard rendering</translation>
    </message>
    <message>
        <source>All frames</source>
        <translation>All frames</translation>
    </message>
    <message>
        <source>%1 names no format that can be written.</source>
        <translation>%1 names no format that can be written.</translation>
    </message>
    <message>
        <source>%1 files can be read but not written.</source>
        <translation>%1 files can be read but not written.</translation>
    </message>
    <message>
        <source> and </source>
        <translation> and </translation>
    </message>
    <message>
        <source>Cancelled</source>
        <translation>Cancelled</translation>
    </message>
    <message>
        <source>Cancelled after %1 of %2 files.</source>
        <translation>Cancelled after %1 of %2 files.</translation>
    </message>
    <message>
        <source>Play</source>
        <translation>Play</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>Batch options</source>
        <translation>Batch options</translation>
    </message>
    <message>
        <source>One movie per series</source>
        <translation>One movie per series</translation>
    </message>
    <message>
        <source>MP4, WebM and GIF: the single-frame files of a series make one movie</source>
        <translation>MP4, WebM and GIF: the single-frame files of a series make one movie</translation>
    </message>
    <message>
        <source>Include sub-folders</source>
        <translation>Include sub-folders</translation>
    </message>
    <message>
        <source>Window shown</source>
        <translation>Window shown</translation>
    </message>
    <message>
        <source>%1 of %2 files</source>
        <translation>%1 of %2 files</translation>
    </message>
    <message>
        <source>%1 of %2 files, %3:%4 left</source>
        <translation>%1 of %2 files, %3:%4 left</translation>
    </message>
</context>
<context>
    <name>LumaframeClass</name>
    <message>
        <source>Glintwise</source>
        <translation>Glintwise</translation>
    </message>
    <message>
        <source>About us</source>
        <translation>About us</translation>
    </message>
    <message>
        <source>English</source>
        <translation>中文</translation>
    </message>
    <message>
        <source>图标</source>
        <translation>Icon</translation>
    </message>
    <message>
        <source>Dimorvex Version</source>
        <translation>Dimorvex Version</translation>
    </message>
    <message>
        <source>About</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Save As</source>
        <translation>Save As</translation>
    </message>
    <message>
        <source>Image Path</source>
        <translation>Image Path</translation>
    </message>
    <message>
        <source>Browse</source>
        <translation>Browse</translation>
    </message>
    <message>
        <source>Target format</source>
        <translation>Target format</translation>
    </message>
    <message>
        <source>Once one</source>
        <translation>Once one</translation>
    </message>
    <message>
        <source>Image Dir:</source>
        <translation>Image Dir:</translation>
    </message>
    <message>
        <source>Result Dir:</source>
        <translation>Result Dir:</translation>
    </message>
    <message>
        <source>File name</source>
        <translation>File name</translation>
    </message>
    <message>
        <source>Patient / Study / Series / Instance</source>
        <translation>Patient / Study / Series / Instance</translation>
    </message>
    <message>
        <source>Batch Generate</source>
        <translation>Batch Generate</translation>
    </message>
    <message>
        <source>Process</source>
        <translation>Process</translation>
    </message>
    <message>
        <source>Batch</source>
        <translation>Batch</translation>
    </message>
    <message>
        <source>PushButton</source>
        <translation>PushButton</translation>
    </message>
</context>
<context>
    <name>about</name>
    <message>
        <source>&lt;a href="https://glintwise.org"&gt;Glintwise&lt;/a&gt; All rights reserved.</source>
        <translation>&lt;a href="https://glintwise.org"&gt;Glintwise&lt;/a&gt; All rights reserved.</translation>
    </message>
</context>
<context>
    <name>aboutClass</name>
    <message>
        <source>About</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Dimorvex Version</source>
        <translation>Dimorvex Version</translation>
    </message>
    <message>
        <source>Glintwise. All rights reserved.</source>
        <translation>Glintwise. All rights reserved.</translation>
    </message>
    <message>
        <source>&lt;a href="https://glintwise.org"&gt;https://glintwise.org&lt;/a&gt;</source>
        <translation>&lt;a href="https://glintwise.org"&gt;https://glintwise.org&lt;/a&gt;</translation>
    </message>
    <message>
        <source>Email:</source>
        <translation>Email:</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
</TS>
