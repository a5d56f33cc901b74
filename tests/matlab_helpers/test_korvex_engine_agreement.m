function test_korvex_engine_agreement(mexdir, required)
% KorvexCUDA and the plain Octave reference give the same reconstruction and extra outputs,
% in both precisions, on a non-square acquisition (so that a swap of rows and columns
% anywhere between MATLAB order and the engine's shows).
korvex_use_mex(mexdir, required);
height = 40;
width = 56;
truth = korvex_test_object(height, width);
otf = korvex_otf(height, width, 1.0, 0.52, 0.065);
masks = korvex_masks(height, width, 5);
frames = korvex_simulate(truth, masks, otf, 'photons', 1000, 'seed', 3);

tolerance = struct('single', 1e-3, 'double', 1e-9);
cases = {
  % iterations threshold lambda alpha  what it covers
  15, 0, 0.01, 0.05, 'runs to the limit';
  15, 0.5, 0.01, 0.05, 'stops on the ratio';
  0, 0, 0.01, 0.05, 'no iteration';
  5, 0, 0.01, -1, 'non-positive first step';
};
for cls = {'single', 'double'}
  c = cls{1};
  args = {cast(frames, c), cast(masks, c), cast(otf, c)};
  for i = 1:size(cases, 1)
    settings = cases(i, 1:4);
    label = sprintf('%s, %s', c, cases{i, 5});
    engine = cell(1, 4);
    reference = cell(1, 4);
    [engine{:}] = KorvexCUDA(args{:}, settings{:});
    [reference{:}] = korvex_reference(args{:}, settings{:});
    check(isa(engine{1}, c) && isequal(size(engine{1}), [height, width]), ...
          [label, ': output class and size']);
    check(engine{2} == reference{2}, sprintf('%s: last iteration %g vs %g', label, ...
                                               engine{2}, reference{2}));
    difference = norm(double(engine{1}(:) - reference{1}(:))) / norm(double(reference{1}(:)));
    check(difference <= tolerance.(c), sprintf('%s: image differs by %.3g', label, difference));
    for j = 3:4
      scale = max(abs(double(reference{j})), eps(c));
      check(abs(double(engine{j}) - double(reference{j})) <= 100 * tolerance.(c) * scale, ...
            sprintf('%s: output %d is %.9g vs %.9g', label, j, engine{j}, reference{j}));
    end
  end
end

% Zero masks and no smoothness: the gradient stays zero, the step of iteration 1 is 0 / 0,
% and both stop there with the estimate untouched and the step reported as NaN.
for cls = {'single', 'double'}
  c = cls{1};
  args = {cast(frames, c), zeros(size(masks), c), cast(otf, c), 10, 0, 0, 0.05};
  engine = cell(1, 4);
  reference = cell(1, 4);
  [engine{:}] = KorvexCUDA(args{:});
  [reference{:}] = korvex_reference(args{:});
  label = [c, ', NaN step'];
  check(engine{2} == 1 && reference{2} == 1, sprintf('%s: last iteration %g vs %g', label, ...
                                                       engine{2}, reference{2}));
  difference = norm(double(engine{1}(:) - reference{1}(:))) / norm(double(reference{1}(:)));
  check(difference <= tolerance.(c) && isequal(reference{1}, sum(args{1}, 3)), ...
        sprintf('%s: estimate untouched (differs by %.3g)', label, difference));
  check(isnan(engine{3}) && isnan(reference{3}), [label, ': step reported as NaN']);
  check(engine{4} == reference{4}, [label, ': no ratio formed']);
end
KorvexCUDA(0);
end

function check(condition, label)
if ~condition
  error('test:failed', 'KorvexCUDA against korvex_reference: %s', label);
end
end
