#!/bin/sh
# Prepares the demo channel on a machine without a configuration: a sample
# clip with a running clock, looped by channel 1 into an HLS set in the work
# folder and to UDP on loopback. An existing configuration is never touched.
set -eu

root=${ORVAL_ROOT:-}
conf="$root/etc/orval/orval.conf"
demo="$root/var/orval/demo"
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf

[ -e "$conf" ] && exit 0
mkdir -p "$root/etc/orval" "$demo/hls"

if [ ! -s "$demo/sample.mp4" ]; then
    ffmpeg -v error -nostdin -y \
        -f lavfi -i "testsrc2=size=640x360:rate=25" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000" -t 20 \
        -vf "drawtext=fontfile=$font:text='%{pts\\:hms}':fontsize=48:fontcolor=white:box=1:boxcolor=black@0.6:x=20:y=20" \
        -c:v libx264 -preset veryfast -g 50 -pix_fmt yuv420p -c:a aac -b:a 128k "$demo/sample.mp4"
fi

cat > "$conf" <<CONF
AutoRestart 1
Log 32
<Channel1>
Enable 1
<Input>
  NumInputs 1
  <Input1>
    Format file
    File "$demo/sample.mp4"
  </Input1>
</Input>
<Output>
  NumOutputs 2
  <Output1>
    Format hls
    VideoEnable 1
    VideoCodec H264
    VideoBitRate 1500
    AudioEnable 1
    AudioCodec AAC
    AudioBitRate 128
    VideoParam "-hls_time 2 -hls_list_size 5"
    File "$demo/hls/live.m3u8"
  </Output1>
  <Output2>
    Format udpts
    VideoEnable 1
    VideoCodec H264
    VideoBitRate 1500
    AudioEnable 1
    AudioCodec AAC
    AudioBitRate 128
    VideoKeyFrameInterval 50
    File "udp://127.0.0.1:5000?pkt_size=1316"
  </Output2>
  Memo "Demo: a looping sample clip"
</Output>
</Channel1>
CONF
echo "orval: demo channel written to $conf"
