<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="en_US">
<context>
    <name>Lumaframe</name>
    <message>
        <source>All files</source>
        <translation>所有文件</translation>
    </message>
    <message>
        <source>Load Dicom Picture</source>
        <translation>打开 DICOM 图像</translation>
    </message>
    <message>
        <source>Failure</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>Please check whether the image is damaged.</source>
        <translation>请检查图像是否已损坏。</translation>
    </message>
    <message>
        <source>Save Image</source>
        <translation>保存图像</translation>
    </message>
    <message>
        <source>Success</source>
        <translation>成功</translation>
    </message>
    <message>
        <source>Image has been saved.</source>
        <translation>图像已保存。</translation>
    </message>
    <message>
        <source>Failed to save image.</source>
        <translation>图像保存失败。</translation>
    </message>
    <message>
        <source>Select a picture where the folder</source>
        <translation>选择图像所在的文件夹</translation>
    </message>
    <message>
        <source>Select a folder to save processing results.</source>
        <translation>选择保存处理结果的文件夹。</translation>
    </message>
    <message>
        <source>Selected directory errors.</source>
        <translation>所选目录有误。</translation>
    </message>
    <message>
        <source>This file's pixel data is compressed as %1, which cannot be read yet.</source>
        <translation>此文件的像素数据以 %1 压缩，目前还无法读取。</translation>
    </message>
    <message>
        <source>This file's data is encoded as %1, which cannot be read yet.</source>
        <translation>此文件的数据以 %1 编码，目前还无法读取。</translation>
    </message>
    <message>
        <source>This file holds no picture (%1).</source>
        <translation>此文件不含图像（%1）。</translation>
    </message>
    <message>
        <source>This file holds no picture.</source>
        <translation>此文件不含图像。</translation>
    </message>
    <message>
        <source>This file's picture is stored in a way that cannot be shown yet (%1).</source>
        <translation>此文件的图像存储方式目前还无法显示（%1）。</translation>
    </message>
    <message>
        <source>The grey levels asked for cannot be applied to this file (%1).</source>
        <translation>无法对此文件应用所要求的灰度（%1）。</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Converted %1 of %2 files.</source>
        <translation>已转换 %1 个文件（共 %2 个）。</translation>
    </message>
    <message>
        <source>%1 files could not be converted.</source>
        <translation>%1 个文件无法转换。</translation>
    </message>
    <message>
        <source>Hide names and IDs</source>
        <translation>隐藏姓名和编号</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>详细信息</translation>
    </message>
    <message>
        <source>Open a DICOM file to see its details here.</source>
        <translation>打开 DICOM 文件后，此处显示其详细信息。</translation>
    </message>
    <message>
        <source>hidden</source>
        <translation>已隐藏</translation>
    </message>
    <message>
        <source>File</source>
        <translation>文件默认</translation>
    </message>
    <message>
        <source>Patient name</source>
        <translation>患者姓名</translation>
    </message>
    <message>
        <source>Patient ID</source>
        <translation>患者编号</translation>
    </message>
    <message>
        <source>Study date</source>
        <translation>检查日期</translation>
    </message>
    <message>
        <source>Study description</source>
        <translation>检查描述</translation>
    </message>
    <message>
        <source>Series number</source>
        <translation>序列号</translation>
    </message>
    <message>
        <source>Series description</source>
        <translation>序列描述</translation>
    </message>
    <message>
        <source>Modality</source>
        <translation>设备类型</translation>
    </message>
    <message>
        <source>Body part</source>
        <translation>检查部位</translation>
    </message>
    <message>
        <source>Picture</source>
        <translation>图像</translation>
    </message>
    <message>
        <source>This file cannot be opened: no such file.</source>
        <translation>无法打开此文件：文件不存在。</translation>
    </message>
    <message>
        <source>This is not a DICOM file.</source>
        <translation>这不是 DICOM 文件。</translation>
    </message>
    <message>
        <source>This is a %1 picture, not a DICOM file.</source>
        <translation>这是 %1 图像，不是 DICOM 文件。</translation>
    </message>
    <message>
        <source>This file cannot be opened (%1).</source>
        <translation>无法打开此文件（%1）。</translation>
    </message>
    <message>
        <source>File name</source>
        <translation>文件名</translation>
    </message>
    <message>
        <source>Grey levels</source>
        <translation>灰阶</translation>
    </message>
    <message>
        <source>Reset</source>
        <translation>重置</translation>
    </message>
    <message>
        <source>Frames</source>
        <translation>帧</translation>
    </message>
    <message>
        <source>Window %1</source>
        <translation>窗 %1</translation>
    </message>
    <message>
        <source>Standard</source>
        <translation>标准</translation>
    </message>
    <message>
        <source>Min-max</source>
        <translation>最小-最大</translation>
    </message>
    <message>
        <source>Full range</source>
        <translation>全范围</translation>
    </message>
    <message>
        <source>Custom (%1/%2)</source>
        <translation>自定义（%1/%2）</translation>
    </message>
    <message>
        <source>Frame %1 of %2</source>
        <translation>第 %1 帧，共 %2 帧</translation>
    </message>
    <message>
        <source>C %1  W %2</source>
        <translation>窗位 %1  窗宽 %2</translation>
    </message>
    <message>
        <source>Brain</source>
        <translation>脑</translation>
    </message>
    <message>
        <source>Subdural</source>
        <translation>硬膜下</translation>
    </message>
    <message>
        <source>Stroke</source>
        <translation>卒中</translation>
    </message>
    <message>
        <source>Lung</source>
        <translation>肺</translation>
    </message>
    <message>
        <source>Mediastinum</source>
        <translation>纵隔</translation>
    </message>
    <message>
        <source>Abdomen</source>
        <translation>腹部</translation>
    </message>
    <message>
        <source>Liver</source>
        <translation>肝</translation>
    </message>
    <message>
        <source>Bone</source>
        <translation>骨</translation>
    </message>
    <message>
        <source>Save options</source>
        <translation>保存选项</translation>
    </message>
    <message>
        <source>Quality</source>
        <translation>质量</translation>
    </message>
    <message>
        <source>JPEG and JPEG 2000</source>
        <translation>JPEG 与 JPEG 2000</translation>
    </message>
    <message>
        <source>16-bit grey levels</source>
        <translation>16 位灰阶</translation>
    </message>
    <message>
        <source>File: the standard rendering</source>
        <translation>文件默认：按标准方式呈现</translation>
    </message>
    <message>
        <source>All frames</source>
        <translation>全部帧</translation>
    </message>
    <message>
        <source>%1 names no format that can be written.</source>
        <translation>%1 不对应任何可写入的格式。</translation>
    </message>
    <message>
        <source>%1 files can be read but not written.</source>
        <translation>%1 文件只能读取，不能写入。</translation>
    </message>
    <message>
        <source> and </source>
        <translation> 和 </translation>
    </message>
    <message>
        <source>Cancelled</source>
        <translation>已取消</translation>
    </message>
    <message>
        <source>Cancelled after %1 of %2 files.</source>
        <translation>已在 %2 个文件中的第 %1 个之后取消。</translation>
    </message>
    <message>
        <source>Play</source>
        <translation>播放</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>停止</translation>
    </message>
    <message>
        <source>Batch options</source>
        <translation>批量选项</translation>
    </message>
    <message>
        <source>One movie per series</source>
        <translation>每个序列一个影片</translation>
    </message>
    <message>
        <source>MP4, WebM and GIF: the single-frame files of a series make one movie</source>
        <translation>MP4、WebM 和 GIF：一个序列的单帧文件合成一个影片</translation>
    </message>
    <message>
        <source>Include sub-folders</source>
        <translation>包含子文件夹</translation>
    </message>
    <message>
        <source>Window shown</source>
        <translation>当前显示的窗</translation>
    </message>
    <message>
        <source>%1 of %2 files</source>
        <translation>%1 / %2 个文件</translation>
    </message>
    <message>
        <source>%1 of %2 files, %3:%4 left</source>
        <translation>%1 / %2 个文件，剩余 %3:%4</translation>
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
        <translation>关于我们</translation>
    </message>
    <message>
        <source>English</source>
        <translation>English</translation>
    </message>
    <message>
        <source>图标</source>
        <translation>图标</translation>
    </message>
    <message>
        <source>Dimorvex Version</source>
        <translation>Dimorvex 版本</translation>
    </message>
    <message>
        <source>About</source>
        <translation>关于</translation>
    </message>
    <message>
        <source>Save As</source>
        <translation>另存为</translation>
    </message>
    <message>
        <source>Image Path</source>
        <translation>图像路径</translation>
    </message>
    <message>
        <source>Browse</source>
        <translation>浏览</translation>
    </message>
    <message>
        <source>Target format</source>
        <translation>目标格式</translation>
    </message>
    <message>
        <source>Once one</source>
        <translation>单张转换</translation>
    </message>
    <message>
        <source>Image Dir:</source>
        <translation>图像目录：</translation>
    </message>
    <message>
        <source>Result Dir:</source>
        <translation>结果目录：</translation>
    </message>
    <message>
        <source>File name</source>
        <translation>文件名</translation>
    </message>
    <message>
        <source>Patient / Study / Series / Instance</source>
        <translation>患者 / 检查 / 序列 / 图像</translation>
    </message>
    <message>
        <source>Batch Generate</source>
        <translation>批量生成</translation>
    </message>
    <message>
        <source>Process</source>
        <translation>进度</translation>
    </message>
    <message>
        <source>Batch</source>
        <translation>批量转换</translation>
    </message>
    <message>
        <source>PushButton</source>
        <translation>按钮</translation>
    </message>
</context>
<context>
    <name>about</name>
    <message>
        <source>&lt;a href="https://glintwise.org"&gt;Glintwise&lt;/a&gt; All rights reserved.</source>
        <translation>&lt;a href="https://glintwise.org"&gt;Glintwise&lt;/a&gt; 版权所有。</translation>
    </message>
</context>
<context>
    <name>aboutClass</name>
    <message>
        <source>About</source>
        <translation>关于</translation>
    </message>
    <message>
        <source>Dimorvex Version</source>
        <translation>Dimorvex 版本</translation>
    </message>
    <message>
        <source>Glintwise. All rights reserved.</source>
        <translation>Glintwise 版权所有。</translation>
    </message>
    <message>
        <source>&lt;a href="https://glintwise.org"&gt;https://glintwise.org&lt;/a&gt;</source>
        <translation>&lt;a href="https://glintwise.org"&gt;https://glintwise.org&lt;/a&gt;</translation>
    </message>
    <message>
        <source>Email:</source>
        <translation>电子邮件：</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
</context>
</TS>
